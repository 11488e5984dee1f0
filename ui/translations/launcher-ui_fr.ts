<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>CountdownBanner</name>
    <message numerus="yes">
        <source>Starting %1 in %n s</source>
        <translation>
            <numerusform>%1 démarre dans %n seconde</numerusform>
            <numerusform>%1 démarre dans %n secondes</numerusform>
        </translation>
    </message>
    <message>
        <source>Choose another application, or cancel to stay here.</source>
        <translation>Choisissez une autre application ou annulez pour rester ici.</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
</context>
<context>
    <name>FailureView</name>
    <message>
        <source>%1 (process-%2)</source>
        <translation>%1 (process-%2)</translation>
    </message>
    <message>
        <source>%1 %2</source>
        <translation>%1 %2</translation>
    </message>
    <message>
        <source>%1 was ended by signal %2</source>
        <translation>%1 a été arrêté par le signal %2</translation>
    </message>
    <message>
        <source>%1 exited with code %2</source>
        <translation>%1 s&apos;est terminé avec le code %2</translation>
    </message>
    <message>
        <source>the application as a whole</source>
        <translation>l&apos;application dans son ensemble</translation>
    </message>
    <message>
        <source>the application&apos;s settings are not valid</source>
        <translation>les paramètres de l&apos;application ne sont pas valides</translation>
    </message>
    <message>
        <source>a required process failed</source>
        <translation>un processus requis a échoué</translation>
    </message>
    <message>
        <source>a required process reported that its configuration is not valid</source>
        <translation>un processus requis a signalé que sa configuration n&apos;est pas valide</translation>
    </message>
    <message>
        <source>%1 cannot start</source>
        <translation>%1 ne peut pas démarrer</translation>
    </message>
    <message>
        <source>%1 stopped working</source>
        <translation>%1 a cessé de fonctionner</translation>
    </message>
    <message>
        <source>the application failed</source>
        <translation>l&apos;application a échoué</translation>
    </message>
    <message>
        <source>error: %1</source>
        <translation>erreur&#xa0;: %1</translation>
    </message>
    <message>
        <source>warning: %1</source>
        <translation>avertissement&#xa0;: %1</translation>
    </message>
    <message>
        <source>Its log from the failure on</source>
        <translation>Journal à partir de l&apos;échec</translation>
    </message>
    <message>
        <source>then stopped by the launcher:</source>
        <translation>puis arrêté par le lanceur&#xa0;:</translation>
    </message>
    <message>
        <source>Back to applications</source>
        <translation>Retour aux applications</translation>
    </message>
    <message>
        <source>Start again</source>
        <translation>Redémarrer</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Applications</source>
        <translation>Applications</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>its settings keep it from starting</source>
        <translation>ses paramètres l&apos;empêchent de démarrer</translation>
    </message>
    <message>
        <source>No applications are installed.</source>
        <translation>Aucune application n&apos;est installée.</translation>
    </message>
</context>
<context>
    <name>RunningView</name>
    <message>
        <source>Starting…</source>
        <translation>Démarrage…</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>En cours</translation>
    </message>
    <message>
        <source>Stopping…</source>
        <translation>Arrêt…</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Terminé</translation>
    </message>
    <message>
        <source>starting</source>
        <translation>démarre</translation>
    </message>
    <message>
        <source>waiting until ready</source>
        <translation>attend d&apos;être prêt</translation>
    </message>
    <message>
        <source>running</source>
        <translation>en cours</translation>
    </message>
    <message>
        <source>restarting</source>
        <translation>redémarre</translation>
    </message>
    <message>
        <source>stopping</source>
        <translation>s&apos;arrête</translation>
    </message>
    <message>
        <source>finished</source>
        <translation>terminé</translation>
    </message>
    <message>
        <source>sync</source>
        <comment>mode: the next process starts when this one has ended</comment>
        <translation>en séquence</translation>
    </message>
    <message>
        <source>async</source>
        <comment>mode: the next process starts as soon as this one runs</comment>
        <translation>en parallèle</translation>
    </message>
    <message>
        <source>daemon</source>
        <comment>mode: runs in the background for as long as the application</comment>
        <translation>en arrière-plan</translation>
    </message>
    <message numerus="yes">
        <source>%1, restarted %n×</source>
        <translation>
            <numerusform>%1, redémarré %n fois</numerusform>
            <numerusform>%1, redémarré %n fois</numerusform>
        </translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Arrêter</translation>
    </message>
    <message numerus="yes">
        <source>%n crash</source>
        <translation>
            <numerusform>%n plantage</numerusform>
            <numerusform>%n plantages</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n crashes</source>
        <translation>
            <numerusform>%n plantage</numerusform>
            <numerusform>%n plantages</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n hang</source>
        <translation>
            <numerusform>%n blocage</numerusform>
            <numerusform>%n blocages</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n hangs</source>
        <translation>
            <numerusform>%n blocage</numerusform>
            <numerusform>%n blocages</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n stop over its memory cap</source>
        <translation>
            <numerusform>%n arrêt pour dépassement de mémoire</numerusform>
            <numerusform>%n arrêts pour dépassement de mémoire</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n stops over its memory cap</source>
        <translation>
            <numerusform>%n arrêt pour dépassement de mémoire</numerusform>
            <numerusform>%n arrêts pour dépassement de mémoire</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n failed start</source>
        <translation>
            <numerusform>%n échec de démarrage</numerusform>
            <numerusform>%n échecs de démarrage</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n failed starts</source>
        <translation>
            <numerusform>%n échec de démarrage</numerusform>
            <numerusform>%n échecs de démarrage</numerusform>
        </translation>
    </message>
    <message>
        <source>given up</source>
        <translation>abandonné</translation>
    </message>
    <message>
        <source>%1 and %2</source>
        <translation>%1 et %2</translation>
    </message>
    <message>
        <source>%1, %2</source>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>given up after %1</source>
        <translation>abandonné après %1</translation>
    </message>
</context>
<context>
    <name>Tile</name>
    <message>
        <source>Cannot start</source>
        <translation>Ne peut pas démarrer</translation>
    </message>
</context>
</TS>

<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>CountdownBanner</name>
    <message numerus="yes">
        <source>Starting %1 in %n s</source>
        <translation>
            <numerusform>%1 startet in %n Sekunde</numerusform>
            <numerusform>%1 startet in %n Sekunden</numerusform>
        </translation>
    </message>
    <message>
        <source>Choose another application, or cancel to stay here.</source>
        <translation>Wählen Sie eine andere Anwendung oder brechen Sie ab, um hier zu bleiben.</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
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
        <translation>%1 wurde durch Signal %2 beendet</translation>
    </message>
    <message>
        <source>%1 exited with code %2</source>
        <translation>%1 endete mit Code %2</translation>
    </message>
    <message>
        <source>the application as a whole</source>
        <translation>die Anwendung als Ganzes</translation>
    </message>
    <message>
        <source>the application&apos;s settings are not valid</source>
        <translation>die Einstellungen der Anwendung sind ungültig</translation>
    </message>
    <message>
        <source>a required process failed</source>
        <translation>ein benötigter Prozess ist ausgefallen</translation>
    </message>
    <message>
        <source>a required process reported that its configuration is not valid</source>
        <translation>ein benötigter Prozess hat seine Konfiguration als ungültig gemeldet</translation>
    </message>
    <message>
        <source>%1 cannot start</source>
        <translation>%1 kann nicht starten</translation>
    </message>
    <message>
        <source>%1 stopped working</source>
        <translation>%1 funktioniert nicht mehr</translation>
    </message>
    <message>
        <source>the application failed</source>
        <translation>die Anwendung ist ausgefallen</translation>
    </message>
    <message>
        <source>error: %1</source>
        <translation>Fehler: %1</translation>
    </message>
    <message>
        <source>warning: %1</source>
        <translation>Warnung: %1</translation>
    </message>
    <message>
        <source>Its log from the failure on</source>
        <translation>Protokoll ab dem Ausfall</translation>
    </message>
    <message>
        <source>then stopped by the launcher:</source>
        <translation>danach vom Launcher beendet:</translation>
    </message>
    <message>
        <source>Back to applications</source>
        <translation>Zurück zu den Anwendungen</translation>
    </message>
    <message>
        <source>Start again</source>
        <translation>Erneut starten</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>Applications</source>
        <translation>Anwendungen</translation>
    </message>
    <message>
        <source>Version %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>its settings keep it from starting</source>
        <translation>ihre Einstellungen verhindern den Start</translation>
    </message>
    <message>
        <source>No applications are installed.</source>
        <translation>Es sind keine Anwendungen installiert.</translation>
    </message>
</context>
<context>
    <name>RunningView</name>
    <message>
        <source>Starting…</source>
        <translation>Wird gestartet…</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>Läuft</translation>
    </message>
    <message>
        <source>Stopping…</source>
        <translation>Wird beendet…</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Beendet</translation>
    </message>
    <message>
        <source>starting</source>
        <translation>startet</translation>
    </message>
    <message>
        <source>waiting until ready</source>
        <translation>wartet auf Bereitschaft</translation>
    </message>
    <message>
        <source>running</source>
        <translation>läuft</translation>
    </message>
    <message>
        <source>restarting</source>
        <translation>startet neu</translation>
    </message>
    <message>
        <source>stopping</source>
        <translation>wird beendet</translation>
    </message>
    <message>
        <source>finished</source>
        <translation>beendet</translation>
    </message>
    <message>
        <source>sync</source>
        <comment>mode: the next process starts when this one has ended</comment>
        <translation>der Reihe nach</translation>
    </message>
    <message>
        <source>async</source>
        <comment>mode: the next process starts as soon as this one runs</comment>
        <translation>parallel</translation>
    </message>
    <message>
        <source>daemon</source>
        <comment>mode: runs in the background for as long as the application</comment>
        <translation>im Hintergrund</translation>
    </message>
    <message numerus="yes">
        <source>%1, restarted %n×</source>
        <translation>
            <numerusform>%1, %n Neustart</numerusform>
            <numerusform>%1, %n Neustarts</numerusform>
        </translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Beenden</translation>
    </message>
    <message numerus="yes">
        <source>%n crash</source>
        <translation>
            <numerusform>%n Absturz</numerusform>
            <numerusform>%n Abstürzen</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n crashes</source>
        <translation>
            <numerusform>%n Absturz</numerusform>
            <numerusform>%n Abstürzen</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n hang</source>
        <translation>
            <numerusform>%n Blockade</numerusform>
            <numerusform>%n Blockaden</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n hangs</source>
        <translation>
            <numerusform>%n Blockade</numerusform>
            <numerusform>%n Blockaden</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n stop over its memory cap</source>
        <translation>
            <numerusform>%n Stopp wegen Speicherlimit</numerusform>
            <numerusform>%n Stopps wegen Speicherlimit</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n stops over its memory cap</source>
        <translation>
            <numerusform>%n Stopp wegen Speicherlimit</numerusform>
            <numerusform>%n Stopps wegen Speicherlimit</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n failed start</source>
        <translation>
            <numerusform>%n Fehlstart</numerusform>
            <numerusform>%n Fehlstarts</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n failed starts</source>
        <translation>
            <numerusform>%n Fehlstart</numerusform>
            <numerusform>%n Fehlstarts</numerusform>
        </translation>
    </message>
    <message>
        <source>given up</source>
        <translation>aufgegeben</translation>
    </message>
    <message>
        <source>%1 and %2</source>
        <translation>%1 und %2</translation>
    </message>
    <message>
        <source>%1, %2</source>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>given up after %1</source>
        <translation>aufgegeben nach %1</translation>
    </message>
</context>
<context>
    <name>Tile</name>
    <message>
        <source>Cannot start</source>
        <translation>Kann nicht starten</translation>
    </message>
</context>
</TS>

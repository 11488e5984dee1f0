#pragma once

#include <QString>
#include <QStringList>

// The folder of the launcher's runtime files: the records of running pipelines
// and the control socket. Other users must not be able to plant a file there
// or swap a folder under a path once checked, so every folder on the way is
// the launcher's user's own (effective uid) and no link. The first that can
// be used of:
// - the service folder /run/Orvalen/launcher/USER, which the system unit of
//   the user makes (never the launcher): there while that service runs;
// - $XDG_RUNTIME_DIR, open to no one else; below it Orvalen/launcher;
// - else the per-user data folder, which no one else may write (a link the
//   user made to put it elsewhere is followed); below it run.
// The folders of the launcher's own are made 0700, and set to 0700 where the
// user's own ones are looser. A runtime folder that is set but refused is
// warned about, once for each reason, and so is the lack of any folder.
//
// A launcher of the same user may have found another folder (a service has
// no $XDG_RUNTIME_DIR, a login has its own): places() names every folder
// where one may listen, so that clients and a second launcher find it.
class RuntimeFolder
{
public:
    enum Use
    {
        Look, // makes nothing: a folder still missing is where the files would go
        Make, // makes the missing folders
    };

    struct Found
    {
        QString path;    // empty when neither folder can be used
        QString problem; // then why not, for messages
    };

    // Takes the candidates from the environment now; checks and makes nothing.
    RuntimeFolder();

    // The folder to use as things stand now.
    Found find(Use use) const;
    // Every folder where a launcher of this user may have its files: the
    // service folder, $XDG_RUNTIME_DIR's, the one of the user's service
    // manager (/run/user/UID, where the user unit's launcher has it), and the
    // data folder's last; those that pass the same checks, each once. The one
    // find() gives is among them. Makes nothing and warns of nothing.
    QStringList places() const;

private:
    QString m_service;     // the service folder of this user, empty when unknown
    QString m_runtime;     // $XDG_RUNTIME_DIR, empty when unset
    QString m_userManager; // /run/user/UID
    QString m_data;        // the per-user data folder
};

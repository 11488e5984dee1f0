#pragma once

#include <QString>

// The folder of the launcher's runtime files: the records of running pipelines
// and the control socket. Other users must not be able to plant a file there
// or swap a folder under a path once checked, so every folder on the way is
// the launcher's user's own (effective uid) and no link:
// - $XDG_RUNTIME_DIR, open to no one else; below it Orvalen/launcher;
// - else the per-user data folder, which no one else may write (a link the
//   user made to put it elsewhere is followed); below it run.
// The folders below are made 0700, and set to 0700 where the user's own ones
// are looser. A runtime folder that is set but refused is warned about, once
// for each reason, and so is the lack of any folder.
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

private:
    QString m_runtime; // $XDG_RUNTIME_DIR, empty when unset
    QString m_data;    // the per-user data folder
};

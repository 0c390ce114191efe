// The scratch folder for temporary work files ("Qorvel" in the temporary folder), used only
// when it is safe: a real folder owned by this user that nobody else can write into.
#pragma once

#include <QString>

class ScratchFolder {
public:
    ScratchFolder() = delete;

    // "<temporary folder>/Qorvel" ($TMPDIR, else /tmp).
    static QString defaultPath();
    // A private fallback in the user's cache folder ("<caches>/scratch").
    static QString fallbackPath();

    // The scratch folder to use now: defaultPath() when it is, or can be made (mode 0775), a
    // folder (not a link) owned by this user and not writable by others; otherwise the fallback,
    // made private (0700), and the refusal is written to the system log. Empty only when no
    // folder at all can be had.
    static QString path();
    // The session's runtime folder ($XDG_RUNTIME_DIR) when it is a folder (not a link) of this
    // user that nobody else can read, write or enter: in memory on most desktops, and nobody
    // can rename what lies in it. Otherwise path().
    static QString privatePath();

    // The same decision for given folders. refusal receives why the preferred folder was not
    // taken (empty when it was).
    static QString prepare(const QString& preferred, const QString& fallback,
                           QString* refusal = nullptr);
};

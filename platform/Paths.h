// Where Qorvel keeps its files; HOME and the XDG variables are read on every call so that
// tests can point them at temporary folders.
#pragma once

#include <QString>

class Paths {
public:
    static QString home();           // $HOME, else the password database's entry
    static QString dataHome();       // $XDG_DATA_HOME, else ~/.local/share
    static QString configHome();     // $XDG_CONFIG_HOME, else ~/.config
    static QString cacheHome();      // $XDG_CACHE_HOME, else ~/.cache
    static QString temporary();      // $TMPDIR, else /tmp
    static QString applicationSupport();  // dataHome()/Glimbo
    static QString configuration();       // configHome()/Glimbo
    static QString caches();              // cacheHome()/<bundle identifier>
    // Run before the application object. Without XDG_RUNTIME_DIR, a private folder of ours in
    // temporary() stands in for it (Qt would make one too, with a warning at every start);
    // without a session-bus address, only the bus in that folder is tried, so no bus is started
    // on demand (one started that way outlives the editor). Answers the runtime folder, empty
    // when none could be made safely.
    static QString prepareSessionEnvironment();
    // Replaces a leading "~" with home(); "~user" forms are left as they are.
    static QString expandTilde(const QString& path);
    // The inverse: a path under home() written with a leading "~".
    static QString abbreviateWithTilde(const QString& path);
};

// A part of a language bundle that another subsystem builds from one of the bundle's definition
// files: the completion engine ("completion.plist") and the indexer rules ("indexer.plist").
#pragma once

#include <QStringList>
#include <QVariantMap>

// The bundle owns its components and saves them: it writes plistRepresentation() merged into
// the definition it read, so keys no component knows survive a save. Components refer back to
// their bundle weakly.
class QVBundleComponent {
public:
    virtual ~QVBundleComponent();

    // The definition as it is to be saved now.
    virtual QVariantMap plistRepresentation() const = 0;
    // The keys this component reads and writes. On save, a key of the definition as read that is
    // not listed here is carried over unchanged when plistRepresentation() leaves it out; a key
    // listed here that plistRepresentation() leaves out is dropped (the user cleared it).
    virtual QStringList definitionKeys() const = 0;
};

// A file document outside any project and without tabs, and every untitled document: no file
// node, its settings in memory only, ending with its window.
#pragma once

#include "editor/QVFileDocument.h"

class QVSingleFileDocument : public QVFileDocument {
public:
    explicit QVSingleFileDocument(const QString& path = {});
    ~QVSingleFileDocument() override;

    // Reads the file. A file that does not exist yet is an empty text the first save creates;
    // one that exists but cannot be read leaves the document empty and unsavable (loaded()
    // false), so the empty text never replaces it.
    bool open(QVError* error = nullptr, QVError* notice = nullptr);
    bool loaded() const { return _loaded; }
    // After Save As the text is the new file's.
    void setLoaded(bool loaded) { _loaded = loaded; }

    bool isMultiFile() const { return false; }

private:
    bool _loaded = true;
};

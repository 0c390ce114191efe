// Subversion in the running application: projects get their controller from here, and File >
// Subversion runs the commands on the document in front, each item enabled as the menu opens by
// what the document's controller and its file's status allow.
#pragma once

#include <QString>

#include <functional>

class QVSubversionMenu {
public:
    // Installs the project factory, the submenu and the opener of result documents.
    static void install(std::function<void(const QString& title, const QString& text)> openResult);
};

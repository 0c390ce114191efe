// A clean application-support folder and list of known projects for each test.
#pragma once

#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

class ProjectsTest : public ::testing::Test {
protected:
    void SetUp() override { clean(); }
    void TearDown() override {
        MainQueue::drain();
        clean();
    }
    static void clean() {
        QVProjectRepository::resetSharedInstance();
        QDir(Defaults::appSupportPathForFile()).removeRecursively();
        QDir(Paths::home() + "/Sites").removeRecursively();
        UserDefaults::standard().removeObject("QVUseSharedProjectLocation");
    }
    static QVariantMap readPlist(const QString& path) { return PropertyList::readFile(path).toMap(); }
    static QString sharedCopy(QVProject& project) {
        return QVProject::sharedProjectsFolder() + "/" + project.uuid() + ".qvproj";
    }
    static QStringList filesIn(const QString& folder) {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
};

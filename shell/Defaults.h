// The settings registry: factory values, typed getters, application-support paths, resource
// lookup that lets user copies shadow the built-in ones, and atomic property-list writes.
#pragma once

#include "platform/QVError.h"

#include <QFont>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class UserDefaults;

// User-default keys written by the factory table.
inline constexpr const char* QVAutoComplete = "QVAutoComplete";
inline constexpr const char* QVAutoSave = "QVAutoSave";
inline constexpr const char* QVAutoCompleteOnType = "QVAutoCompleteOnType";
inline constexpr const char* QVAutoSpecChars = "QVAutoSpecChars";
inline constexpr const char* QVAutoTabKey = "QVAutoTabKey";
inline constexpr const char* QVCloseSiteManager = "QVCloseSiteManager";
inline constexpr const char* QVDoGrepKey = "QVDoGrepKey";
inline constexpr const char* QVDoMatchCaseKey = "QVDoMatchCaseKey";
inline constexpr const char* QVCurrentThemeID = "QVCurrentThemeID";
inline constexpr const char* QVHighlightKey = "QVHighlightKey";
inline constexpr const char* QVHowToOpenFiles = "QVHowToOpenFiles";
inline constexpr const char* QVLineBreak = "QVLineBreak";  // 0 LF, 1 CR, 2 CR LF
inline constexpr const char* QVLineNums = "QVLineNums";
inline constexpr const char* QVShowFilePropertiesSheet = "QVShowFilePropertiesSheet";
inline constexpr const char* QVShowSiteManager = "QVShowSiteManager";
inline constexpr const char* QVTabsAreSpaces = "QVTabsAreSpaces";
inline constexpr const char* QVTabSizeKey = "QVTabSizeKey";
inline constexpr const char* QVTextEncoding = "QVTextEncoding";
inline constexpr const char* QVWrapText = "QVWrapText";
inline constexpr const char* QVXHTMLTags = "QVXHTMLTags";
inline constexpr const char* QVShowInvisibles = "QVShowInvisibles";
inline constexpr const char* QVSFTPGratuitousLogging = "QVSFTPGratuitousLogging";
inline constexpr const char* QVSFTPShowLog = "QVSFTPShowLog";
inline constexpr const char* QVSFTPLogWidth = "QVSFTPLogWidth";
inline constexpr const char* QVSFTPTimeout = "QVSFTPTimeout";  // a string, "90"
inline constexpr const char* QVUseTabs = "QVUseTabs";
inline constexpr const char* QVFTPExecPath = "QVFTPExecPath";
inline constexpr const char* QVSFTPExecPath = "QVSFTPExecPath";
inline constexpr const char* QVWebDAVExecPath = "QVWebDAVExecPath";
inline constexpr const char* QVWebDAVExecType = "QVWebDAVExecType";
inline constexpr const char* QVRemoteFilesSortOrder = "QVRemoteFilesSortOrder";
inline constexpr const char* QVSuggestElementsAutomatically = "QVSuggestElementsAutomatically";
inline constexpr const char* QVSuggestKeywordsAutomatically = "QVSuggestKeywordsAutomatically";
inline constexpr const char* QVCodeIndexingEnabled = "QVCodeIndexingEnabled";
inline constexpr const char* QVCodeFoldingEnabled = "QVCodeFoldingEnabled";
inline constexpr const char* QVDoubleClickToOpenFiles = "QVDoubleClickToOpenFiles";

// Keys the application controller reads without a factory value: absent until set.
inline constexpr const char* qvAnonymousUsageTracking = "qvAnonymousUsageTracking";  // the consent answer
inline constexpr const char* qvDisplayInfoView = "qvDisplayInfoView";  // version whose info window was turned off
inline constexpr const char* qvSnippetsLocation = "qvSnippetsLocation";
inline constexpr const char* qvUserScriptsLocation = "qvUserScriptsLocation";

// User-default keys read by the typed getters (no factory value is written for them).
inline constexpr const char* QVDefaultFontKey = "QVDefaultFontKey";
inline constexpr const char* QVUseSharedProjectLocation = "QVUseSharedProjectLocation";
inline constexpr const char* QVDontPromptToSearchLocalCache = "QVDontPromptToSearchLocalCache";
inline constexpr const char* QVSearchLocalCacheForRemoteProjects =
    "QVSearchLocalCacheForRemoteProjects";

class Defaults {
public:
    Defaults() = delete;

    // One entry of the factory table, in the order it is applied.
    struct FactoryValue {
        QString key;
        QVariant value;
    };
    static QList<FactoryValue> factoryTable();

    // Writes the factory value of every key of the table that has no stored value (a number
    // below 2 as a boolean, anything else as it is) and synchronises the store. A key with any
    // stored value, of whatever type, is never touched. The flag is unused.
    static void resetDefaults(bool unused = false);
    static void resetDefaults(UserDefaults& store);

    // The editor font stored under QVDefaultFontKey, else the fixed-pitch system font at 11 pt.
    static QFont defaultFont();
    // The stored font only; nothing when none is stored or the data does not decode.
    static std::optional<QFont> storedDefaultFont();
    static void setDefaultFont(const QFont& font);

    // Typed getters: a missing value or one of the wrong type gives the fallback named here.
    static bool useSharedProjectLocation();           // fallback true
    static bool promptToSearchLocalCache();           // !QVDontPromptToSearchLocalCache; true
    static bool searchLocalCacheForRemoteProjects();  // fallback false
    static QString textEncoding();                    // fallback "utf-8" (also for "")

    // The user's data folder that holds the application-support folder ($XDG_DATA_HOME).
    static QString appSupportPath();
    // The application-support folder ($XDG_DATA_HOME/Glimbo), with name appended when not
    // empty. Builds the path only; creates nothing.
    static QString appSupportPathForFile(const QString& name = {});
    // application-support folder / folder / name; builds the path only.
    static QString appSupportPathForFile(const QString& name, const QString& folder);

    // "folder/name.type" in the application-support folder when it exists there (a user copy
    // shadows the built-in one), else the application resource in that folder, else the
    // application resource of that name and type at the top of the resources, whatever folder
    // was asked. Empty when nothing is found. type may be empty (the name is then taken whole).
    static QString pathForResource(const QString& name, const QString& type,
                                   const QString& folder = {});
    // Every file with the extension below application-support/folder at any depth (sorted by
    // sub-path), then every application resource of that type in the folder. A resource
    // present in both places is listed twice, the support copy first.
    static QStringList pathsForResourcesOfType(const QString& type, const QString& folder = {});

    // Serialises the property list (format 200 binary, 100 XML) and replaces the file at path
    // atomically. False on an unknown format, a value without a plist form, or a failed
    // write; the file on disk is then as it was.
    // An XML property list written at path, or at "data/<name>" in the support folder when path
    // is empty, after making its folder; what names the contents in the error ("file filters").
    static bool writeDataPlist(const QVariant& plist, const QString& path, const QString& name, const QString& what,
                               QVError* error);
    static bool writePlist(const QVariant& plist, const QString& path, int format,
                           QVError* error = nullptr);
};

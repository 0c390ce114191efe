// Path operations on URL strings, which keep their scheme and host untouched.
#pragma once

#include <QString>

class URLStringAdditions {
public:
    URLStringAdditions() = delete;

    // The URL string and the component joined by exactly the "/" the URL string lacks at its
    // end; a component that starts with "/" keeps it.
    static QString urlStringByAppendingPathComponent(const QString& url, const QString& component);
    // Everything before the last "/"; without a "/", the string unchanged.
    static QString urlStringByDeletingLastPathComponent(const QString& url);
};

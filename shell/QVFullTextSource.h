// The seam through which the search engine reads an editor's whole text from any thread.
#pragma once

#include <QString>

#include <memory>

// Implemented by the editor view. The text is always read on the main thread; a worker holds a
// Handle, which stays safe to keep after the view is gone and then resolves to nothing.
class QVFullTextSource {
public:
    class Handle {
    public:
        Handle() = default;
        // The source, or null once it has been destroyed (or for an empty handle). Main thread
        // only: sources are destroyed there, so the answer cannot go stale during the call.
        QVFullTextSource* get() const { return _slot ? *_slot : nullptr; }

    private:
        friend class QVFullTextSource;
        explicit Handle(std::shared_ptr<QVFullTextSource*> slot) : _slot(std::move(slot)) {}
        std::shared_ptr<QVFullTextSource*> _slot;
    };

    QVFullTextSource();
    // A copy is a new source with a handle of its own.
    QVFullTextSource(const QVFullTextSource&);
    QVFullTextSource& operator=(const QVFullTextSource&) { return *this; }
    // Detaches every handle. Destroy sources on the main thread.
    virtual ~QVFullTextSource();

    // Replaces the string's contents with the whole text, folded regions included.
    virtual void fillStringWithFullString(QString& string) const = 0;

    Handle handle() const { return Handle(_slot); }

private:
    std::shared_ptr<QVFullTextSource*> _slot;
};

#pragma once

// Ownership of GLib objects and errors for the package engine, so every early return releases
// what it holds.

#include <glib-object.h>

#include <QString>

#include <memory>

namespace DlrPlatform {

struct GObjectUnref
{
    void operator()(gpointer object) const
    {
        if (object)
            g_object_unref(object);
    }
};

template<typename T>
using GRef = std::unique_ptr<T, GObjectUnref>;

// A GError slot that frees what it holds.
class GErrorHolder
{
public:
    GErrorHolder() = default;
    ~GErrorHolder() { g_clear_error(&error); }
    GErrorHolder(const GErrorHolder &) = delete;
    GErrorHolder &operator=(const GErrorHolder &) = delete;

    GError **out()
    {
        g_clear_error(&error);
        return &error;
    }
    GError *get() const { return error; }
    QString message() const
    {
        return error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error");
    }

private:
    GError *error = nullptr;
};

// Takes a string that the caller must g_free.
inline QString takeGString(gchar *text)
{
    const QString result = QString::fromUtf8(text ? text : "");
    g_free(text);
    return result;
}

} // namespace DlrPlatform

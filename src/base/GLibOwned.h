#pragma once

// Owners for GLib and GObject memory, for the modules that use GLib.

#include "base/Owned.h"

#include <glib-object.h>

namespace pagestow::base {

inline void UnrefObject(gpointer object)
{
    g_object_unref(object);
}

inline void FreeGLib(gpointer memory)
{
    g_free(memory);
}

template <typename T> using GObjectPtr = Owned<T, UnrefObject>;

using GCharPtr = Owned<gchar, FreeGLib>;

inline void FreeError(GError* error)
{
    g_error_free(error);
}

using GErrorPtr = Owned<GError, FreeError>;

} // namespace pagestow::base

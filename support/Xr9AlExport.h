/// \file
/// Marks the names that libxr9al exports to its hosts; everything else is
/// hidden in the shared library (and still reachable by the tests, which link
/// the objects directly).
#ifndef XR9AL_EXPORT_H
#define XR9AL_EXPORT_H

/// Default visibility: the name is part of libxr9al's binary interface.
#define XR9AL_EXPORT __attribute__((visibility("default")))

#endif

// The application's orientation on the panel: how far its picture is turned
// clockwise from the panel's own upright, 0, 90, 180 or 270 degrees.  Chosen
// at start by FOLIAN_ROTATE, then by the application (its preferred
// orientations) and the control FIFO.  Main thread only; the display and
// input modules keep their own copy, handed to them on each change.
#pragma once

#include <stddef.h>

// The start's orientation, FOLIAN_ROTATE, as orientation_open reads it: a
// value that is not one of the four is told in one line and 0 stands.
int orientation_read_settings();
// Reads FOLIAN_ROTATE; the panel's size in pixels gives the window's.
void orientation_open(unsigned panel_width, unsigned panel_height);
int orientation_degrees();
// The application's window in pixels: the panel's size, exchanged at 90 and
// 270 degrees.
unsigned orientation_app_width();
unsigned orientation_app_height();

// Called after each change, with the new degrees (the window size already
// follows them).
typedef void (*OrientationHandler)(int degrees);
void orientation_set_handler(OrientationHandler on_change);

// Turns the picture to `degrees` (0, 90, 180 or 270); `who` names the asker
// in the log line.  False, changing nothing, when it already stands so or
// the value is no orientation.
bool orientation_set(int degrees, const char* who);

// The degrees of one of the framework's DeviceOrientation names
// ("DeviceOrientation.landscapeLeft" or just "landscapeLeft"), or -1.
int orientation_from_name(const char* name, size_t length);
// The application's preferred orientations, in its order: the current one
// stays when it is among them, else the first is taken; none at all brings
// back the orientation of the start.
void orientation_prefer(const int* degrees, size_t count);

#pragma once
/* The descriptors of an emulated module, made from the "attach" message of
 * the harness protocol (tests/support/usb_harness.c). */

#include <glib.h>
#include <json-glib/json-glib.h>

/* The device descriptor followed by the whole configuration (interfaces
 * and endpoints), as the kernel's sysfs "descriptors" attribute holds them.
 * Strings 1 to 3 are the manufacturer, product and serial number. */
GByteArray* usb_make_descriptors(JsonObject* msg);

/* String descriptor `index` (0: the language list) into `out`, at most
 * `room` bytes; its length, or -1 for an index without a string. */
int usb_string_descriptor(const char* serial, guint index, guint8* out, int room);

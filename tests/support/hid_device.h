#pragma once
// The emulated HID device of the i.MX serial download ROM, for a harness
// that owns the umockdev testbed (hid_harness alone, or usb_harness next to
// its emulated modules). Runs on the default main context.

#include <glib.h>
#include <umockdev.h>

// Connects to the simulator's --hid-socket and plugs the device into
// `testbed` whenever the simulator attaches it; its USB parents sit on bus
// `bus`. `on_end` is called once the simulator has gone (the device is
// unplugged by then). FALSE when the socket cannot be reached.
gboolean hid_device_start(UMockdevTestbed* testbed, const char* socket_path, int bus,
                          gboolean trace, void (*on_end)(void));
// Unplugs the device and lets go of the simulator and the testbed.
void hid_device_stop(void);

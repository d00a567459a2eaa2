// Emulated USB HID device of the i.MX serial download ROM (1FC9:0130) for a
// program run under umockdev's preload library with the real hidapi; the
// device itself is tests/support/hid_device.c, the ROM tools/imx_sdp_sim.py.
//
//   hid_harness --socket PATH [--trace]
//
// Standard output, one line per event: "UMOCKDEV_DIR=<testbed>" once the
// testbed exists, "ATTACHED" when the device can be opened, "DETACHED"
// after an unplug. Ends on SIGTERM or SIGINT, or when the simulator closes
// the socket.

#include "tests/support/hid_device.h"

#include <errno.h>
#include <glib-unix.h>
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <umockdev.h>
#include <unistd.h>

#define PRELOAD_LIBRARY "libumockdev-preload.so.0"

static GMainLoop* loop;

// umockdev's testbed only works when this process runs under the preload
// library too. Tested by the variable itself: umockdev_in_mock_environment()
// would still say no before the testbed exists, and we would loop.
static void run_under_preload(char** argv)
{
    const char* preload = getenv("LD_PRELOAD");
    if (preload && strstr(preload, PRELOAD_LIBRARY))
        return;
    char* value = preload && *preload ? g_strdup_printf("%s:%s", PRELOAD_LIBRARY, preload)
                                      : g_strdup(PRELOAD_LIBRARY);
    setenv("LD_PRELOAD", value, 1);
    g_free(value);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "hid_harness: cannot re-execute: %s\n", strerror(errno));
    exit(1);
}

static void on_end(void)
{
    g_main_loop_quit(loop);
}

static gboolean on_signal(gpointer data)
{
    (void)data;
    g_main_loop_quit(loop);
    return G_SOURCE_CONTINUE;
}

int main(int argc, char** argv)
{
    const char* socket_path = NULL;
    gboolean trace = FALSE;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--socket") == 0 && i + 1 < argc)
            socket_path = argv[++i];
        else if (strcmp(argv[i], "--trace") == 0)
            trace = TRUE;
        else
            socket_path = NULL, i = argc;
    }
    if (!socket_path) {
        fprintf(stderr, "usage: %s --socket PATH [--trace]\n", argv[0]);
        return 2;
    }
    run_under_preload(argv);
    UMockdevTestbed* testbed = umockdev_testbed_new();
    char* root = umockdev_testbed_get_root_dir(testbed);
    printf("UMOCKDEV_DIR=%s\n", root);
    fflush(stdout);
    g_free(root);
    loop = g_main_loop_new(NULL, FALSE);
    int status = 1;
    if (hid_device_start(testbed, socket_path, 1, trace, on_end)) {
        g_unix_signal_add(SIGTERM, on_signal, NULL);
        g_unix_signal_add(SIGINT, on_signal, NULL);
        g_main_loop_run(loop);
        status = 0;
    }
    hid_device_stop();
    g_object_unref(testbed);
    g_main_loop_unref(loop);
    return status;
}

// The emulated USB HID device of the i.MX serial download ROM (1FC9:0130),
// served in a umockdev testbed that the calling harness owns, for a program
// run under umockdev's preload library with the real hidapi. The ROM itself
// is tools/imx_sdp_sim.py: this only carries the reports between the device
// node and the simulator's --hid-socket.
//
// The node is a pty that umockdev hands to the client; its reads, writes and
// ioctls come here. A raw pty would merge reports, so input reports wait in
// a queue and each read takes one; for each queued report one wake-up byte
// goes into the pty so that the client's poll() sees it, and the read that
// takes the report drains the byte again. A write is completed only once
// the simulator has acknowledged the report, so every answer it caused is
// already queued when the client's write returns. Unplugging hangs the pty
// up, which the client's poll() reports as POLLHUP.
//
// Events go to standard output, one line each: "ATTACHED" when the device
// can be opened, "DETACHED" after an unplug.

#define _GNU_SOURCE

#include "tests/support/hid_device.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#define WAKE_UP_WAIT_MS 200
#define PHYS "usb-0000:00:14.0-1/input0"

// Vendor page; input reports 3 (4 bytes) and 4 (64), output reports 1 (16)
// and 2 (1024), all of 8-bit fields.
#define FIELDS 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08
static const guint8 REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF,   0x09, 0x01, 0xA1, 0x01,       // vendor collection
    0x85, 0x01, FIELDS, 0x95, 0x10, 0x91, 0x02,       // output 1: 16 bytes
    0x85, 0x02, FIELDS, 0x96, 0x00, 0x04, 0x91, 0x02, // output 2: 1024 bytes
    0x85, 0x03, FIELDS, 0x95, 0x04, 0x81, 0x02,       // input 3: 4 bytes
    0x85, 0x04, FIELDS, 0x95, 0x40, 0x81, 0x02,       // input 4: 64 bytes
    0xC0,
};

typedef struct {
    UMockdevIoctlClient* client;
    glong length;
} PendingWrite;

typedef struct {
    UMockdevTestbed* testbed;
    UMockdevIoctlBase* handler;
    void (*on_end)(void); // the simulator went away
    int bus;              // USB bus number of the device's parents
    guint watch;          // the simulator socket's source
    gboolean trace;
    int sim_fd;
    GString* sim_in;
    GMutex send_lock; // one line at a time to the simulator
    GMutex lock;      // guards everything below
    gboolean attached;
    GQueue reports;      // GBytes*: input reports the client has not read
    GQueue writes;       // PendingWrite*: awaiting the simulator's ack
    int master_fd;       // the node's pty master, -1 when hung up
    int drain_fd;        // the node's pty slave, to take the wake-up bytes back
    GArray* retired_fds; // slaves of earlier plug-ins
    char* node;          // the device node, /dev/hidrawN
    char* paths[4];      // sysfs: hidraw, hid, interface, usb device
    guint16 vid, pid;
    char* serial;
    char* product;
} Harness;

static Harness H = {.sim_fd = -1, .master_fd = -1, .drain_fd = -1};

static void say(const char* line)
{
    printf("%s\n", line);
    fflush(stdout);
}

static void trace(const char* what, const guint8* bytes, gsize length)
{
    if (!H.trace)
        return;
    fprintf(stderr, "hid_harness: %s", what);
    for (gsize i = 0; i < length; i++)
        fprintf(stderr, " %02x", bytes[i]);
    fputc('\n', stderr);
}

static gboolean send_line(const char* line)
{
    gboolean ok = TRUE;
    size_t length = strlen(line);
    g_mutex_lock(&H.send_lock);
    for (size_t sent = 0; ok && sent < length;) {
        ssize_t n = send(H.sim_fd, line + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        sent += ok ? (size_t)n : 0;
    }
    g_mutex_unlock(&H.send_lock);
    return ok;
}

static void send_report(const guint8* bytes, gsize length)
{
    GString* line = g_string_new("{\"op\": \"report\", \"data\": \"");
    for (gsize i = 0; i < length; i++)
        g_string_append_printf(line, "%02x", bytes[i]);
    g_string_append(line, "\"}\n");
    trace("out", bytes, length);
    if (!send_line(line->str))
        fprintf(stderr, "hid_harness: simulator socket: %s\n", strerror(errno));
    g_string_free(line, TRUE);
}

// ---- the simulator's messages: flat JSON objects of strings and numbers ----

static const char* skip_space(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        p++;
    return p;
}

static char* json_string(const char** at)
{
    const char* p = *at;
    if (*p++ != '"')
        return NULL;
    GString* out = g_string_new(NULL);
    while (*p && *p != '"') {
        if (*p != '\\') {
            g_string_append_c(out, *p++);
            continue;
        }
        p++;
        const char* plain = strchr("\"\\/bfnrt", *p);
        if (*p == 'u' && g_ascii_isxdigit(p[1]) && g_ascii_isxdigit(p[2]) &&
            g_ascii_isxdigit(p[3]) && g_ascii_isxdigit(p[4])) {
            char digits[5] = {p[1], p[2], p[3], p[4], 0};
            g_string_append_unichar(out, (gunichar)strtoul(digits, NULL, 16));
            p += 5;
        } else if (*p && plain) {
            g_string_append_c(out, "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"]);
            p++;
        } else {
            break;
        }
    }
    if (*p != '"') {
        g_string_free(out, TRUE);
        return NULL;
    }
    *at = p + 1;
    return g_string_free(out, FALSE);
}

// A number, true, false or null, as its text.
static char* json_bare(const char** at)
{
    const char* p = *at;
    while (g_ascii_isalnum(*p) || *p == '-' || *p == '+' || *p == '.')
        p++;
    if (p == *at)
        return NULL;
    char* text = g_strndup(*at, (gsize)(p - *at));
    *at = p;
    return text;
}

// The members of one object whose values are no objects or arrays; NULL for
// anything else.
static GHashTable* json_flat_object(const char* text)
{
    GHashTable* members = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    const char* p = skip_space(text);
    if (*p++ != '{')
        goto bad;
    p = skip_space(p);
    if (*p == '}')
        return members;
    for (;;) {
        char* key = json_string(&p);
        p = skip_space(p);
        if (!key || *p++ != ':') {
            g_free(key);
            goto bad;
        }
        p = skip_space(p);
        char* value = *p == '"' ? json_string(&p) : json_bare(&p);
        if (!value) {
            g_free(key);
            goto bad;
        }
        g_hash_table_replace(members, key, value);
        p = skip_space(p);
        if (*p == '}')
            return members;
        if (*p++ != ',')
            goto bad;
        p = skip_space(p);
    }
bad:
    g_hash_table_destroy(members);
    return NULL;
}

// ---- the node's reads, writes and ioctls (umockdev's worker thread) ----

static void drain_wake_up_locked(void)
{
    struct pollfd p = {.fd = H.drain_fd, .events = POLLIN};
    guint8 byte;
    if (H.drain_fd >= 0 && poll(&p, 1, WAKE_UP_WAIT_MS) > 0 && read(H.drain_fd, &byte, 1) == 1)
        return;
    fprintf(stderr, "hid_harness: no wake-up byte to take back\n");
}

static void forget_reports_locked(void)
{
    GBytes* report;
    while ((report = g_queue_pop_head(&H.reports))) {
        g_bytes_unref(report);
        if (H.drain_fd >= 0)
            drain_wake_up_locked();
    }
}

static gboolean on_read(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer data)
{
    (void)base, (void)data;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    g_mutex_lock(&H.lock);
    if (!H.attached) {
        g_mutex_unlock(&H.lock);
        umockdev_ioctl_client_complete(client, -1, EIO);
        return TRUE;
    }
    GBytes* report = g_queue_pop_head(&H.reports);
    if (report)
        drain_wake_up_locked();
    g_mutex_unlock(&H.lock);
    if (!report) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    gsize length;
    const guint8* bytes = g_bytes_get_data(report, &length);
    gsize n = MIN(length, (gsize)MAX(arg->data_len, 0));
    memcpy(arg->data, bytes, n);
    g_bytes_unref(report);
    umockdev_ioctl_client_complete(client, (glong)n, 0);
    return TRUE;
}

static gboolean on_write(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer data)
{
    (void)base, (void)data;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    g_mutex_lock(&H.lock);
    if (!H.attached || H.sim_fd < 0 || arg->data_len <= 0) {
        g_mutex_unlock(&H.lock);
        umockdev_ioctl_client_complete(client, -1, H.attached ? EINVAL : ENODEV);
        return TRUE;
    }
    PendingWrite* pending = g_new0(PendingWrite, 1);
    pending->client = g_object_ref(client);
    pending->length = arg->data_len;
    g_queue_push_tail(&H.writes, pending);
    g_mutex_unlock(&H.lock);
    send_report(arg->data, (gsize)arg->data_len);
    return TRUE;
}

static void complete_write(PendingWrite* pending)
{
    umockdev_ioctl_client_complete(pending->client, pending->length, 0);
    g_object_unref(pending->client);
    g_free(pending);
}

// Copies `length` bytes to the memory the ioctl's argument points to.
static gboolean reply(UMockdevIoctlData* arg, const void* bytes, gsize length)
{
    GError* error = NULL;
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, length, &error);
    if (!target) {
        fprintf(stderr, "hid_harness: ioctl argument: %s\n", error->message);
        g_error_free(error);
        return FALSE;
    }
    memcpy(target->data, bytes, length);
    g_object_unref(target);
    return TRUE;
}

static glong string_ioctl(UMockdevIoctlData* arg, const char* text, gsize room)
{
    gsize length = MIN(strlen(text) + 1, room);
    if (length == 0)
        return 0;
    char* copy = g_malloc0(length);
    memcpy(copy, text, length - 1);
    gboolean ok = reply(arg, copy, length);
    g_free(copy);
    return ok ? (glong)length : -1;
}

static glong descriptor_ioctl(UMockdevIoctlData* arg)
{
    GError* error = NULL;
    UMockdevIoctlData* target =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(struct hidraw_report_descriptor), &error);
    if (!target) {
        g_error_free(error);
        return -1;
    }
    struct hidraw_report_descriptor* d = (struct hidraw_report_descriptor*)target->data;
    d->size = MIN(d->size, (guint32)sizeof(REPORT_DESCRIPTOR));
    memcpy(d->value, REPORT_DESCRIPTOR, d->size);
    g_object_unref(target);
    return 0;
}

// -2: not an ioctl of hidraw. Called with the lock held.
static glong answer_ioctl(gulong request, UMockdevIoctlData* arg)
{
    if (request == HIDIOCGRDESCSIZE) {
        int size = (int)sizeof(REPORT_DESCRIPTOR);
        return reply(arg, &size, sizeof(size)) ? 0 : -1;
    }
    if (request == HIDIOCGRDESC)
        return descriptor_ioctl(arg);
    if (request == HIDIOCGRAWINFO) {
        struct hidraw_devinfo info = {BUS_USB, (__s16)H.vid, (__s16)H.pid};
        return reply(arg, &info, sizeof(info)) ? 0 : -1;
    }
    if (_IOC_TYPE(request) != 'H' || _IOC_DIR(request) != _IOC_READ)
        return -2;
    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRAWNAME(0)):
        return string_ioctl(arg, H.product, _IOC_SIZE(request));
    case _IOC_NR(HIDIOCGRAWPHYS(0)):
        return string_ioctl(arg, PHYS, _IOC_SIZE(request));
    case _IOC_NR(HIDIOCGRAWUNIQ(0)):
        return string_ioctl(arg, H.serial, _IOC_SIZE(request));
    default:
        return -2;
    }
}

static gboolean on_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer data)
{
    (void)base, (void)data;
    gulong request = umockdev_ioctl_client_get_request(client);
    g_mutex_lock(&H.lock);
    glong result = H.attached ? answer_ioctl(request, umockdev_ioctl_client_get_arg(client)) : -3;
    g_mutex_unlock(&H.lock);
    if (H.trace)
        fprintf(stderr, "hid_harness: ioctl 0x%lx -> %ld\n", request, result);
    if (result == -3)
        umockdev_ioctl_client_complete(client, -1, ENODEV);
    else if (result == -2)
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    else
        umockdev_ioctl_client_complete(client, result, result < 0 ? EFAULT : 0);
    return TRUE;
}

// A fresh open starts with an empty input queue, as hidraw's does.
static void on_client(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer data)
{
    (void)base, (void)client, (void)data;
    g_mutex_lock(&H.lock);
    forget_reports_locked();
    g_mutex_unlock(&H.lock);
}

// ---- plugging and unplugging (main thread) ----

static gboolean open_drain_locked(void)
{
    char pts[128];
    if (ptsname_r(H.master_fd, pts, sizeof(pts)) != 0)
        return FALSE;
    // Under the preload, fcntl() on a pty opened by its /dev/pts path fails:
    // open it through a link outside /dev.
    char* root = umockdev_testbed_get_root_dir(H.testbed);
    char* link = g_build_filename(root, "hidraw-pty", NULL);
    unlink(link);
    gboolean ok = symlink(pts, link) == 0;
    H.drain_fd = ok ? open(link, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    unlink(link);
    g_free(link);
    g_free(root);
    struct termios raw;
    if (H.drain_fd < 0 || tcgetattr(H.drain_fd, &raw) != 0)
        return FALSE;
    cfmakeraw(&raw);
    return tcsetattr(H.drain_fd, TCSANOW, &raw) == 0;
}

// Each plug-in gets new names, as a re-enumerated device does: the testbed
// keeps a removed node's name to itself.
static void build_sysfs(int n)
{
    UMockdevTestbed* t = H.testbed;
    char* vid = g_strdup_printf("%04x", H.vid);
    char* pid = g_strdup_printf("%04x", H.pid);
    char* port = g_strdup_printf("usb%d/%d-%d", H.bus, H.bus, n + 1);
    char* busnum = g_strdup_printf("%d", H.bus);
    char* bus_text = g_strdup_printf("%03d", H.bus);
    char* devnum = g_strdup_printf("%d", n + 2);
    char* usb_product = g_strdup_printf("%x/%x/1", H.vid, H.pid);
    char* usb = umockdev_testbed_add_device(
        t, "usb", port, NULL, "idVendor", vid, "idProduct", pid, "manufacturer", "Emulated",
        "product", H.product, "serial", H.serial, "bcdDevice", "0001", "busnum", busnum, "devnum",
        devnum, "speed", "12", NULL, "DEVTYPE", "usb_device", "PRODUCT", usb_product, "BUSNUM",
        bus_text, "DEVNUM", devnum, NULL);
    char* intf_name = g_strdup_printf("%d-%d:1.0", H.bus, n + 1);
    char* intf = umockdev_testbed_add_device(t, "usb", intf_name, usb, "bInterfaceNumber", "00",
                                             "bInterfaceClass", "03", NULL, "DEVTYPE",
                                             "usb_interface", "INTERFACE", "3/0/0", NULL);
    char* hid_id = g_strdup_printf("0003:%08X:%08X", H.vid, H.pid);
    char* hid_name = g_strdup_printf("0003:%04X:%04X.%04X", H.vid, H.pid, n + 1);
    char* hid =
        umockdev_testbed_add_device(t, "hid", hid_name, intf, NULL, "HID_ID", hid_id, "HID_NAME",
                                    H.product, "HID_UNIQ", H.serial, "HID_PHYS", PHYS, NULL);
    umockdev_testbed_set_attribute_binary(t, hid, "report_descriptor", (guint8*)REPORT_DESCRIPTOR,
                                          sizeof(REPORT_DESCRIPTOR));
    // Only the text form makes the testbed create the node (its "N:" line).
    // hidapi reads the hid parent's uevent and report descriptor through the
    // "device" link.
    char* raw = g_strdup_printf("%s/hidraw/hidraw%d", hid, n);
    char* text = g_strdup_printf("P: %s\nN: %s\nE: SUBSYSTEM=hidraw\nE: DEVNAME=%s\n"
                                 "E: MAJOR=240\nE: MINOR=%d\nA: dev=240:%d\nL: device=../..\n",
                                 raw + strlen("/sys"), H.node + strlen("/dev/"), H.node, n, n);
    GError* error = NULL;
    if (!umockdev_testbed_add_from_string(t, text, &error)) {
        fprintf(stderr, "hid_harness: %s\n", error->message);
        g_error_free(error);
    }
    H.paths[0] = raw, H.paths[1] = hid, H.paths[2] = intf, H.paths[3] = usb;
    g_free(text), g_free(hid_name), g_free(hid_id), g_free(intf_name), g_free(usb_product);
    g_free(devnum), g_free(port), g_free(pid), g_free(vid), g_free(busnum), g_free(bus_text);
}

static gboolean plug(void)
{
    static int plugs = 0;
    g_free(H.node);
    H.node = g_strdup_printf("/dev/hidraw%d", plugs);
    GError* error = NULL;
    // Attached before the node exists, so that no client opens it unhandled.
    if (!umockdev_testbed_attach_ioctl(H.testbed, H.node, H.handler, &error)) {
        fprintf(stderr, "hid_harness: attach: %s\n", error->message);
        g_error_free(error);
        return FALSE;
    }
    build_sysfs(plugs++);
    g_mutex_lock(&H.lock);
    H.master_fd = umockdev_testbed_get_dev_fd(H.testbed, H.node);
    gboolean ok = H.master_fd >= 0 && open_drain_locked();
    H.attached = ok;
    g_mutex_unlock(&H.lock);
    if (!ok) {
        fprintf(stderr, "hid_harness: no pty behind %s\n", H.node);
        return FALSE;
    }
    say("ATTACHED");
    return TRUE;
}

// The testbed owns the master descriptor and closes it when it ends:
// /dev/null takes its number, so the hang-up happens now and that later
// close cannot hit a descriptor opened in between. Our end of the slave
// stays open to the end, which keeps the pty's number from being handed out
// again: the testbed would trip over its own record of the old one.
static void hang_up_locked(void)
{
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, H.master_fd);
        close(null_fd);
    }
    H.master_fd = -1;
    if (H.drain_fd >= 0)
        g_array_append_val(H.retired_fds, H.drain_fd);
    H.drain_fd = -1;
}

static void unplug(void)
{
    g_mutex_lock(&H.lock);
    if (!H.attached) {
        g_mutex_unlock(&H.lock);
        return;
    }
    H.attached = FALSE;
    forget_reports_locked();
    hang_up_locked();
    GQueue writes = H.writes;
    g_queue_init(&H.writes);
    g_mutex_unlock(&H.lock);
    // The simulator has these reports already: they were delivered.
    PendingWrite* pending;
    while ((pending = g_queue_pop_head(&writes)))
        complete_write(pending);
    // The testbed sends no uevent of its own when a device is removed, and
    // removing a parent leaves its children's links and node behind.
    for (int i = 0; i < 4; i++) {
        umockdev_testbed_uevent(H.testbed, H.paths[i], "remove");
        umockdev_testbed_remove_device(H.testbed, H.paths[i]);
        g_free(H.paths[i]);
        H.paths[i] = NULL;
    }
    umockdev_testbed_detach_ioctl(H.testbed, H.node, NULL);
    say("DETACHED");
}

// ---- messages from the simulator (main thread) ----

static void queue_report(const char* hex)
{
    gsize length = hex ? strlen(hex) / 2 : 0;
    guint8* bytes = g_malloc(length + 1);
    for (gsize i = 0; i < length; i++) {
        int high = g_ascii_xdigit_value(hex[2 * i]), low = g_ascii_xdigit_value(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            fprintf(stderr, "hid_harness: report is not hexadecimal\n");
            g_free(bytes);
            return;
        }
        bytes[i] = (guint8)(high << 4 | low);
    }
    trace("in", bytes, length);
    g_mutex_lock(&H.lock);
    if (H.attached && length > 0 && write(H.master_fd, "", 1) == 1)
        g_queue_push_tail(&H.reports, g_bytes_new_take(bytes, length));
    else
        g_free(bytes);
    g_mutex_unlock(&H.lock);
}

static void acknowledge(void)
{
    g_mutex_lock(&H.lock);
    PendingWrite* pending = g_queue_pop_head(&H.writes);
    g_mutex_unlock(&H.lock);
    if (pending)
        complete_write(pending);
}

static void set_identity(GHashTable* m)
{
    const char* vid = g_hash_table_lookup(m, "vid");
    const char* pid = g_hash_table_lookup(m, "pid");
    const char* serial = g_hash_table_lookup(m, "serial");
    const char* product = g_hash_table_lookup(m, "product");
    H.vid = vid ? (guint16)g_ascii_strtoull(vid, NULL, 10) : 0x1FC9;
    H.pid = pid ? (guint16)g_ascii_strtoull(pid, NULL, 10) : 0x0130;
    g_free(H.serial);
    g_free(H.product);
    H.serial = g_strdup(serial ? serial : "");
    H.product = g_strdup(product ? product : "");
}

static void handle_message(const char* line)
{
    GHashTable* m = json_flat_object(line);
    const char* op = m ? g_hash_table_lookup(m, "op") : NULL;
    if (!op)
        fprintf(stderr, "hid_harness: unreadable message: %s\n", line);
    else if (strcmp(op, "report") == 0)
        queue_report(g_hash_table_lookup(m, "data"));
    else if (strcmp(op, "ack") == 0)
        acknowledge();
    else if (strcmp(op, "attach") == 0 && !H.attached) {
        set_identity(m);
        if (!plug())
            H.on_end();
    } else if (strcmp(op, "detach") == 0)
        unplug();
    if (m)
        g_hash_table_destroy(m);
}

static gboolean on_simulator(gint fd, GIOCondition condition, gpointer data)
{
    (void)condition, (void)data;
    char buffer[8192];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
        return G_SOURCE_CONTINUE;
    if (n <= 0) {
        unplug();
        H.watch = 0;
        H.on_end();
        return G_SOURCE_REMOVE;
    }
    g_string_append_len(H.sim_in, buffer, n);
    char* end;
    while ((end = memchr(H.sim_in->str, '\n', H.sim_in->len))) {
        *end = '\0';
        handle_message(H.sim_in->str);
        g_string_erase(H.sim_in, 0, end - H.sim_in->str + 1);
    }
    return G_SOURCE_CONTINUE;
}

static int connect_simulator(const char* path)
{
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (strlen(path) >= sizeof(address.sun_path)) {
        fprintf(stderr, "hid_harness: socket path too long\n");
        return -1;
    }
    memcpy(address.sun_path, path, strlen(path) + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr*)&address, sizeof(address)) == 0)
        return fd;
    fprintf(stderr, "hid_harness: cannot connect to %s: %s\n", path, strerror(errno));
    if (fd >= 0)
        close(fd);
    return -1;
}

static void set_up_handler(void)
{
    H.handler = umockdev_ioctl_base_new();
    g_signal_connect(H.handler, "handle-ioctl", G_CALLBACK(on_ioctl), NULL);
    g_signal_connect(H.handler, "handle-read", G_CALLBACK(on_read), NULL);
    g_signal_connect(H.handler, "handle-write", G_CALLBACK(on_write), NULL);
    g_signal_connect(H.handler, "client-connected", G_CALLBACK(on_client), NULL);
    g_signal_connect(H.handler, "client-vanished", G_CALLBACK(on_client), NULL);
}

gboolean hid_device_start(UMockdevTestbed* testbed, const char* socket_path, int bus,
                          gboolean trace, void (*on_end)(void))
{
    signal(SIGPIPE, SIG_IGN);
    g_mutex_init(&H.lock);
    g_mutex_init(&H.send_lock);
    g_queue_init(&H.reports);
    g_queue_init(&H.writes);
    H.sim_in = g_string_new(NULL);
    H.retired_fds = g_array_new(FALSE, FALSE, sizeof(int));
    H.testbed = g_object_ref(testbed);
    H.bus = bus;
    H.trace = trace;
    H.on_end = on_end;
    set_up_handler();
    H.sim_fd = connect_simulator(socket_path);
    if (H.sim_fd < 0)
        return FALSE;
    H.watch = g_unix_fd_add(H.sim_fd, G_IO_IN | G_IO_HUP | G_IO_ERR, on_simulator, NULL);
    return TRUE;
}

void hid_device_stop(void)
{
    if (H.watch)
        g_source_remove(H.watch);
    H.watch = 0;
    unplug();
    if (H.sim_fd >= 0)
        close(H.sim_fd);
    H.sim_fd = -1;
    g_object_unref(H.handler);
    g_object_unref(H.testbed);
    g_string_free(H.sim_in, TRUE);
    g_free(H.serial);
    g_free(H.product);
    g_free(H.node);
    for (guint i = 0; i < H.retired_fds->len; i++)
        close(g_array_index(H.retired_fds, int, i));
    g_array_free(H.retired_fds, TRUE);
}

/* Emulated USB modules for the end-to-end tests.
 *
 * The harness owns a umockdev testbed and plays the USB side of the
 * modules that a peer (the device simulator, or a test) describes over a
 * Unix stream socket in JSON lines. It answers the usbdevfs ioctls that
 * libusb issues on each emulated device node and bridges bulk OUT and IN
 * bytes, stalls and plug/unplug events to the peer, so the behaviour of
 * the modules lives in the peer alone. The program under test is an
 * ordinary process run with LD_PRELOAD=libumockdev-preload.so.0 and
 * UMOCKDEV_DIR set to the testbed printed on the ready line.
 *
 * Peer -> harness:
 *   {"op":"attach","id":N,"serial":S,"vendor":V,"product":P,"busnum":1,
 *    "devnum":D,"interfaces":[{"number","alt","class","subclass",
 *    "protocol","endpoints":[{"address","attributes","max_packet"}]}]}
 *   {"op":"detach","id":N}
 *   {"op":"in","id":N,"data":HEX}     one bulk IN transfer from the device;
 *      with "complete":false the bytes fill the waiting URB without ending
 *      it (as full packets with no short one after them), so the host's
 *      time-out ends it with what it got
 *   {"op":"stall","id":N,"endpoint":E}
 *   {"op":"sync","token":T}           answered by {"op":"synced","token":T}
 *      once every line before it has taken effect
 * Harness -> peer:
 *   {"op":"out","id":N,"data":HEX}    one bulk OUT URB
 *   {"op":"claim","id":N,"interface":I} {"op":"release","id":N,"interface":I}
 *      (with --exclusive-claims, a claim of an interface that another open
 *      descriptor holds fails with EBUSY, as usbfs does, and is not
 *      reported)
 *   {"op":"clear_halt","id":N,"endpoint":E}
 *   {"op":"in_urb","id":N,"endpoint":E,"length":L,"client":C}  a bulk IN URB
 *      submitted, by the C-th descriptor opened
 *   {"op":"attached","id":N}          the device node is in place
 *
 * Usage: usb_harness --socket PATH [--exclusive-claims] [--hid-socket PATH].
 * Prints "READY <testbed dir>" once the peer is connected; ends when the
 * peer closes the socket or on SIGTERM.
 *
 * With --hid-socket the same testbed also holds the HID device of the i.MX
 * serial download ROM, played by tools/imx_sdp_sim.py behind that socket
 * (tests/support/hid_device.c, on USB bus 2; its "ATTACHED" and "DETACHED"
 * lines follow the ready line). A client has one UMOCKDEV_DIR only, so a
 * recovery that starts a liveloader through the ROM and then finds it as a
 * module on USB needs both in one testbed.
 */

#include "tests/support/hid_device.h"
#include "tests/support/usb_descriptors.h"

#include <errno.h>
#include <glib-unix.h>
#include <json-glib/json-glib.h>
#include <linux/usbdevice_fs.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <umockdev.h>
#include <unistd.h>

#define PRELOAD "libumockdev-preload.so.0"
#define MAX_INTERFACES 32

typedef struct {
    UMockdevIoctlClient* client; /* the open descriptor that submitted it */
    UMockdevIoctlData* urb;      /* the submitted URB, as the client sees it */
    UMockdevIoctlData* buffer;   /* its data buffer */
    int filled;
} PendingUrb;

typedef struct {
    GBytes* data;
    gsize offset;
    gboolean complete;
} InTransfer;

typedef struct {
    int id;
    gboolean gone;
    char* syspath;
    char devnode[64];
    char* serial;
    int devnum;
    UMockdevIoctlBase* handler;
    GQueue pending_in; /* PendingUrb*: IN URBs waiting for data */
    GQueue done;       /* PendingUrb*: completed, waiting to be reaped */
    GQueue in_data;    /* InTransfer*: bytes from the peer not yet taken */
    guint32 halted;    /* bit n: OUT endpoint n, bit 16 + n: IN endpoint n */
    UMockdevIoctlClient* holder[MAX_INTERFACES]; /* the descriptor that claimed it */
} Device;

static UMockdevTestbed* testbed;
static GMainLoop* loop;
static int peer_fd = -1;
static GHashTable* devices;     /* id -> current Device* */
static GPtrArray* all_devices;  /* every Device ever made, gone ones too */
static GPtrArray* graveyard;    /* PendingUrb* of clients that vanished */
static GPtrArray* gone_holders; /* UMockdevIoctlClient* that vanished holding a claim */
static GString* peer_buffer;
static gboolean trace;
static gboolean exclusive_claims;
/* umockdev calls the ioctl handlers on a worker thread of its own, the
 * peer's lines arrive on the main loop: the devices are shared under
 * `lock`. umockdev's own testbed calls are made without it, as they may
 * wait for that worker. `peer_lock` (taken after `lock`, never before it)
 * keeps the peer's lines whole. */
static GMutex lock;
static GMutex peer_lock;

/* ---- the peer */

static void peer_send(const char* format, ...) G_GNUC_PRINTF(1, 2);

static void peer_send(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char* line = g_strdup_vprintf(format, args);
    va_end(args);
    if (trace)
        fprintf(stderr, "harness -> %s\n", line);
    size_t len = strlen(line), off = 0;
    line[len] = '\n';
    g_mutex_lock(&peer_lock);
    while (peer_fd >= 0 && off < len + 1) {
        ssize_t n = write(peer_fd, line + off, len + 1 - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        off += (size_t)n;
    }
    g_mutex_unlock(&peer_lock);
    line[len] = '\0';
    g_free(line);
}

static char* hex_of(const guint8* bytes, gsize len)
{
    char* out = g_malloc(len * 2 + 1);
    for (gsize i = 0; i < len; i++)
        g_snprintf(out + 2 * i, 3, "%02x", bytes[i]);
    out[len * 2] = '\0';
    return out;
}

static GBytes* bytes_of_hex(const char* hex)
{
    gsize len = hex ? strlen(hex) / 2 : 0;
    guint8* out = g_malloc(len ? len : 1);
    for (gsize i = 0; i < len; i++) {
        int hi = g_ascii_xdigit_value(hex[2 * i]), lo = g_ascii_xdigit_value(hex[2 * i + 1]);
        out[i] = (guint8)((hi < 0 ? 0 : hi) << 4 | (lo < 0 ? 0 : lo));
    }
    return g_bytes_new_take(out, len);
}

/* ---- URBs */

/* An ioctl's argument is the client's pointer; this is what it points to
 * (written back to the client when the ioctl completes). */
static UMockdevIoctlData* pointee(UMockdevIoctlData* arg, gsize size)
{
    GError* error = NULL;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (!data) {
        g_printerr("harness: cannot resolve an ioctl argument: %s\n", error ? error->message : "?");
        g_clear_error(&error);
    }
    return data;
}

static guint uint_arg(UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = pointee(arg, sizeof(guint));
    guint value = data ? *(guint*)data->data : 0;
    if (data)
        g_object_unref(data);
    return value;
}

static void finish_urb(Device* dev, PendingUrb* p, int status)
{
    struct usbdevfs_urb* urb = (struct usbdevfs_urb*)p->urb->data;
    urb->status = status;
    urb->actual_length = p->filled;
    g_queue_push_tail(&dev->done, p);
}

static void free_urb(PendingUrb* p)
{
    g_object_unref(p->client);
    g_object_unref(p->buffer);
    g_object_unref(p->urb);
    g_free(p);
}

static void free_transfer(InTransfer* t)
{
    g_bytes_unref(t->data);
    g_free(t);
}

/* A client that closed its descriptor (or died) leaves its URBs behind;
 * they must not take the bytes meant for the next one. umockdev 0.17
 * sends no client-vanished signal then, but the client reads as
 * disconnected. Its URBs are set aside, not freed: dropping the last
 * reference to such a client makes umockdev complain of an open stream. */
static void drop_vanished(GQueue* queue)
{
    GList* l = queue->head;
    while (l) {
        GList* next = l->next;
        PendingUrb* p = l->data;
        if (!umockdev_ioctl_client_get_connected(p->client)) {
            g_ptr_array_add(graveyard, p);
            g_queue_delete_link(queue, l);
        }
        l = next;
    }
}

/* Moves the peer's IN bytes into waiting URBs. One transfer from the peer
 * ends a URB (a short packet) unless it was sent as incomplete. The bytes
 * go to the newest URB: a host has one IN transfer waiting at a time, and
 * an older one can only be left by a client that died and that umockdev
 * does not yet report as gone. */
static void deliver_in(Device* dev)
{
    drop_vanished(&dev->pending_in);
    drop_vanished(&dev->done);
    while (!g_queue_is_empty(&dev->pending_in) && !g_queue_is_empty(&dev->in_data)) {
        PendingUrb* p = g_queue_peek_tail(&dev->pending_in);
        InTransfer* t = g_queue_peek_head(&dev->in_data);
        gsize size;
        const guint8* bytes = g_bytes_get_data(t->data, &size);
        struct usbdevfs_urb* urb = (struct usbdevfs_urb*)p->urb->data;
        gsize n = MIN(size - t->offset, (gsize)(urb->buffer_length - p->filled));
        memcpy(p->buffer->data + p->filled, bytes + t->offset, n);
        p->filled += (int)n;
        t->offset += n;
        gboolean full = p->filled == urb->buffer_length;
        gboolean ends = t->offset == size && t->complete;
        if (t->offset == size)
            free_transfer(g_queue_pop_head(&dev->in_data));
        if (full || ends)
            finish_urb(dev, g_queue_pop_tail(&dev->pending_in), 0);
    }
}

static gboolean halted(Device* dev, guint endpoint)
{
    guint bit = (endpoint & 0x0F) + ((endpoint & 0x80) ? 16 : 0);
    return (dev->halted >> bit) & 1;
}

static void set_halt(Device* dev, guint endpoint, gboolean on)
{
    guint bit = (endpoint & 0x0F) + ((endpoint & 0x80) ? 16 : 0);
    if (on)
        dev->halted |= 1u << bit;
    else
        dev->halted &= ~(1u << bit);
}

/* A small number for each open descriptor, so the peer can tell them apart. */
static guint client_number(UMockdevIoctlClient* client)
{
    static GHashTable* numbers;
    if (!numbers)
        numbers = g_hash_table_new(NULL, NULL);
    guint n = GPOINTER_TO_UINT(g_hash_table_lookup(numbers, client));
    if (n == 0) {
        n = g_hash_table_size(numbers) + 1;
        g_hash_table_insert(numbers, client, GUINT_TO_POINTER(n));
    }
    return n;
}

static void control_urb(Device* dev, PendingUrb* p)
{
    const guint8* setup = p->buffer->data;
    guint request_type = setup[0], request = setup[1];
    guint value = setup[2] | setup[3] << 8, length = setup[6] | setup[7] << 8;
    int room = MIN((int)length, p->buffer->data_len - 8);
    int status = 0;
    p->filled = 0;
    if (request_type == 0x80 && request == 6 && (value >> 8) == 3) {
        int n = usb_string_descriptor(dev->serial, value & 0xFF, p->buffer->data + 8, room);
        if (n < 0)
            status = -EPIPE;
        else
            p->filled = n;
    } else if ((request_type & 0x80) != 0) {
        status = -EPIPE; /* nothing else to read on the default pipe */
    }
    finish_urb(dev, p, status);
}

static void bulk_urb(Device* dev, PendingUrb* p)
{
    struct usbdevfs_urb* urb = (struct usbdevfs_urb*)p->urb->data;
    if (halted(dev, urb->endpoint)) {
        finish_urb(dev, p, -EPIPE);
        return;
    }
    if (!(urb->endpoint & 0x80)) {
        char* hex = hex_of(p->buffer->data, (gsize)urb->buffer_length);
        peer_send("{\"op\":\"out\",\"id\":%d,\"data\":\"%s\"}", dev->id, hex);
        g_free(hex);
        p->filled = urb->buffer_length;
        finish_urb(dev, p, 0);
        return;
    }
    peer_send("{\"op\":\"in_urb\",\"id\":%d,\"endpoint\":%u,\"length\":%d,\"client\":%u}", dev->id,
              urb->endpoint, urb->buffer_length, client_number(p->client));
    g_queue_push_tail(&dev->pending_in, p);
    deliver_in(dev);
}

static int submit_urb(Device* dev, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* urb_data = pointee(arg, sizeof(struct usbdevfs_urb));
    if (!urb_data)
        return -EFAULT;
    struct usbdevfs_urb* urb = (struct usbdevfs_urb*)urb_data->data;
    if (urb->buffer_length < 0 ||
        (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length < 8)) {
        g_object_unref(urb_data);
        return -EINVAL;
    }
    GError* error = NULL;
    PendingUrb* p = g_new0(PendingUrb, 1);
    p->client = g_object_ref(client);
    p->urb = urb_data;
    p->buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(struct usbdevfs_urb, buffer),
                                            (gsize)urb->buffer_length, &error);
    if (!p->buffer) {
        g_printerr("harness: cannot resolve a URB buffer: %s\n", error ? error->message : "?");
        g_clear_error(&error);
        g_object_unref(urb_data);
        g_free(p);
        return -EFAULT;
    }
    switch (urb->type) {
    case USBDEVFS_URB_TYPE_CONTROL:
        control_urb(dev, p);
        return 0;
    case USBDEVFS_URB_TYPE_BULK:
    case USBDEVFS_URB_TYPE_INTERRUPT:
        bulk_urb(dev, p);
        return 0;
    default:
        free_urb(p);
        return -EINVAL;
    }
}

/* Each open descriptor reaps only its own URBs: a discovery may open a
 * device while a link holds it open. */
static GList* find_urb(GQueue* queue, UMockdevIoctlClient* client, gulong client_address)
{
    for (GList* l = queue->head; l; l = l->next) {
        PendingUrb* p = l->data;
        if (p->client == client && (client_address == 0 || p->urb->client_addr == client_address))
            return l;
    }
    return NULL;
}

static int reap_urb(Device* dev, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    GList* l = find_urb(&dev->done, client, 0);
    if (!l)
        return -EAGAIN;
    UMockdevIoctlData* where = pointee(arg, sizeof(gpointer));
    if (!where)
        return -EFAULT;
    PendingUrb* p = l->data;
    g_queue_delete_link(&dev->done, l);
    umockdev_ioctl_data_set_ptr(where, 0, p->urb);
    g_object_unref(where);
    free_urb(p);
    return 0;
}

static int discard_urb(Device* dev, UMockdevIoctlClient* client, gulong client_address)
{
    GList* l = find_urb(&dev->pending_in, client, client_address);
    if (!l)
        return -EINVAL;
    PendingUrb* p = l->data;
    g_queue_delete_link(&dev->pending_in, l);
    finish_urb(dev, p, -ENOENT);
    return 0;
}

/* ---- ioctls */

static int put_uint(UMockdevIoctlData* arg, guint32 value)
{
    UMockdevIoctlData* data = pointee(arg, sizeof(value));
    if (!data)
        return -EFAULT;
    memcpy(data->data, &value, sizeof(value));
    g_object_unref(data);
    return 0;
}

static int connect_info(Device* dev, UMockdevIoctlData* arg)
{
    UMockdevIoctlData* data = pointee(arg, sizeof(struct usbdevfs_connectinfo));
    if (!data)
        return -EFAULT;
    struct usbdevfs_connectinfo* ci = (struct usbdevfs_connectinfo*)data->data;
    ci->devnum = (unsigned)dev->devnum;
    ci->slow = 0;
    g_object_unref(data);
    return 0;
}

/* ---- claims */

static void forget_holder(Device* dev, guint number)
{
    UMockdevIoctlClient* holder = dev->holder[number];
    dev->holder[number] = NULL;
    if (!holder)
        return;
    /* As with URBs, the last reference to a vanished client is kept. */
    if (umockdev_ioctl_client_get_connected(holder))
        g_object_unref(holder);
    else
        g_ptr_array_add(gone_holders, holder);
}

/* With --exclusive-claims, as usbfs does, one open descriptor holds an
 * interface: another one's claim fails with EBUSY until the holder
 * releases it or goes away. umockdev may notice a holder that died only
 * some time later (not while this thread waits), so a claim right after
 * the holder's death can still fail: the switch is off by default. */
static int claim_interface(Device* dev, UMockdevIoctlClient* client, guint number)
{
    if (number >= MAX_INTERFACES)
        return -EINVAL;
    UMockdevIoctlClient* holder = dev->holder[number];
    if (exclusive_claims && holder && holder != client &&
        umockdev_ioctl_client_get_connected(holder))
        return -EBUSY;
    if (holder != client) {
        forget_holder(dev, number);
        dev->holder[number] = g_object_ref(client);
    }
    peer_send("{\"op\":\"claim\",\"id\":%d,\"interface\":%u}", dev->id, number);
    return 0;
}

static int release_interface(Device* dev, UMockdevIoctlClient* client, guint number)
{
    if (number >= MAX_INTERFACES || dev->holder[number] != client)
        return -EINVAL;
    forget_holder(dev, number);
    peer_send("{\"op\":\"release\",\"id\":%d,\"interface\":%u}", dev->id, number);
    return 0;
}

static int device_ioctl(Device* dev, UMockdevIoctlClient* client, gulong request,
                        UMockdevIoctlData* arg)
{
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        return put_uint(arg, USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM);
    case USBDEVFS_CLAIMINTERFACE:
        return claim_interface(dev, client, uint_arg(arg));
    case USBDEVFS_RELEASEINTERFACE:
        return release_interface(dev, client, uint_arg(arg));
    case USBDEVFS_SUBMITURB:
        return submit_urb(dev, client, arg);
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:
        return reap_urb(dev, client, arg);
    case USBDEVFS_DISCARDURB:
        return discard_urb(dev, client, *(gulong*)arg->data);
    case USBDEVFS_CLEAR_HALT:
        set_halt(dev, uint_arg(arg), FALSE);
        peer_send("{\"op\":\"clear_halt\",\"id\":%d,\"endpoint\":%u}", dev->id, uint_arg(arg));
        return 0;
    case USBDEVFS_CONNECTINFO:
        return connect_info(dev, arg);
    case USBDEVFS_GET_SPEED:
        return 3; /* high speed */
    case USBDEVFS_GETDRIVER:
        return -ENODATA;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
        return 0;
    default:
        return -ENOTTY;
    }
}

/* An unplugged device still gives its completed URBs to the reaps, as
 * the kernel does; everything else, and a reap that finds none, fails. */
static int gone_ioctl(Device* dev, UMockdevIoctlClient* client, gulong request,
                      UMockdevIoctlData* arg)
{
    if (request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY)
        return -ENODEV;
    int rc = reap_urb(dev, client, arg);
    return rc == -EAGAIN ? -ENODEV : rc;
}

static gboolean on_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer data)
{
    (void)handler;
    Device* dev = data;
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    g_mutex_lock(&lock);
    int rc =
        dev->gone ? gone_ioctl(dev, client, request, arg) : device_ioctl(dev, client, request, arg);
    g_mutex_unlock(&lock);
    if (trace && request != USBDEVFS_REAPURBNDELAY)
        fprintf(stderr, "harness[%p]: %p %s ioctl 0x%lx -> %d\n", (void*)g_thread_self(),
                (void*)client, dev->devnode, request, rc);
    if (rc < 0)
        umockdev_ioctl_client_complete(client, -1, -rc);
    else
        umockdev_ioctl_client_complete(client, rc, 0);
    return TRUE;
}

/* ---- plugging */

static void add_sysfs_device(Device* dev, JsonObject* msg, int busnum)
{
    char name[32], busstr[8], devstr[8], vendor[8], product[8];
    g_snprintf(name, sizeof(name), "%d-%d", busnum, dev->devnum);
    g_snprintf(busstr, sizeof(busstr), "%03d", busnum);
    g_snprintf(devstr, sizeof(devstr), "%03d", dev->devnum);
    g_snprintf(vendor, sizeof(vendor), "%04x", (guint)json_object_get_int_member(msg, "vendor"));
    g_snprintf(product, sizeof(product), "%04x", (guint)json_object_get_int_member(msg, "product"));
    GByteArray* descriptors = usb_make_descriptors(msg);
    char* hex = hex_of(descriptors->data, descriptors->len);
    char* text = g_strdup_printf("P: /devices/pci0000:00/usb%d/%s\n"
                                 "N: bus/usb/%s/%s\n"
                                 "E: DEVNAME=/dev/bus/usb/%s/%s\n"
                                 "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                                 "E: BUSNUM=%s\nE: DEVNUM=%s\n"
                                 "A: busnum=%d\nA: devnum=%d\nA: speed=480\n"
                                 "A: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                                 "A: idVendor=%s\nA: idProduct=%s\nA: serial=%s\n"
                                 "A: manufacturer=Vantor\nA: product=Vantor module\n"
                                 "H: descriptors=%s\n",
                                 busnum, name, busstr, devstr, busstr, devstr, busstr, devstr,
                                 busnum, dev->devnum, vendor, product, dev->serial, hex);
    GError* error = NULL;
    if (!umockdev_testbed_add_from_string(testbed, text, &error)) {
        g_printerr("harness: cannot add device %d: %s\n", dev->id, error->message);
        g_error_free(error);
    }
    dev->syspath = g_strdup_printf("/sys/devices/pci0000:00/usb%d/%s", busnum, name);
    g_free(text);
    g_free(hex);
    g_byte_array_unref(descriptors);
}

static void detach_device(Device* dev);

static void attach_device(JsonObject* msg)
{
    int id = (int)json_object_get_int_member(msg, "id");
    g_mutex_lock(&lock);
    Device* old = g_hash_table_lookup(devices, GINT_TO_POINTER(id));
    g_mutex_unlock(&lock);
    if (old)
        detach_device(old);
    Device* dev = g_new0(Device, 1);
    dev->id = id;
    dev->devnum = (int)json_object_get_int_member_with_default(msg, "devnum", id + 1);
    int busnum = (int)json_object_get_int_member_with_default(msg, "busnum", 1);
    dev->serial = g_strdup(json_object_get_string_member_with_default(msg, "serial", ""));
    g_snprintf(dev->devnode, sizeof(dev->devnode), "/dev/bus/usb/%03d/%03d", busnum, dev->devnum);
    g_queue_init(&dev->pending_in);
    g_queue_init(&dev->done);
    g_queue_init(&dev->in_data);
    dev->handler = umockdev_ioctl_base_new();
    g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(on_ioctl), dev);
    GError* error = NULL;
    /* The handler goes first, so no client can open the node unhandled. */
    if (!umockdev_testbed_attach_ioctl(testbed, dev->devnode, dev->handler, &error)) {
        g_printerr("harness: cannot attach %s: %s\n", dev->devnode, error->message);
        g_error_free(error);
    }
    add_sysfs_device(dev, msg, busnum);
    g_mutex_lock(&lock);
    g_hash_table_insert(devices, GINT_TO_POINTER(id), dev);
    g_ptr_array_add(all_devices, dev);
    g_mutex_unlock(&lock);
    peer_send("{\"op\":\"attached\",\"id\":%d}", id);
}

static void detach_device(Device* dev)
{
    g_mutex_lock(&lock);
    gboolean was_gone = dev->gone;
    dev->gone = TRUE;
    if (!was_gone) {
        g_hash_table_remove(devices, GINT_TO_POINTER(dev->id));
        /* As in the kernel, the transfers in flight end with -ESHUTDOWN and
         * stay to be reaped: a client waiting on one learns of the unplug
         * from it. */
        drop_vanished(&dev->pending_in);
        drop_vanished(&dev->done);
        PendingUrb* p;
        while ((p = g_queue_pop_head(&dev->pending_in)))
            finish_urb(dev, p, -ESHUTDOWN);
        g_queue_clear_full(&dev->in_data, (GDestroyNotify)free_transfer);
    }
    g_mutex_unlock(&lock);
    if (was_gone)
        return;
    /* Removal sends no uevent of its own; libusb learns of it from this. */
    umockdev_testbed_uevent(testbed, dev->syspath, "remove");
    umockdev_testbed_remove_device(testbed, dev->syspath);
}

/* ---- messages from the peer */

static void device_message(Device* dev, const char* op, JsonObject* msg);

static void handle_message(JsonObject* msg)
{
    const char* op = json_object_get_string_member_with_default(msg, "op", "");
    if (strcmp(op, "attach") == 0) {
        attach_device(msg);
        return;
    }
    if (strcmp(op, "sync") == 0) {
        peer_send("{\"op\":\"synced\",\"token\":%" G_GINT64_FORMAT "}",
                  json_object_get_int_member_with_default(msg, "token", 0));
        return;
    }
    int id = (int)json_object_get_int_member_with_default(msg, "id", -1);
    g_mutex_lock(&lock);
    Device* dev = g_hash_table_lookup(devices, GINT_TO_POINTER(id));
    if (!dev) {
        g_mutex_unlock(&lock);
        g_printerr("harness: %s for unknown device %d\n", op, id);
        return;
    }
    if (strcmp(op, "detach") == 0) {
        g_mutex_unlock(&lock);
        detach_device(dev);
        return;
    }
    device_message(dev, op, msg);
    g_mutex_unlock(&lock);
}

static void device_message(Device* dev, const char* op, JsonObject* msg)
{
    if (strcmp(op, "in") == 0) {
        InTransfer* t = g_new0(InTransfer, 1);
        t->data = bytes_of_hex(json_object_get_string_member_with_default(msg, "data", ""));
        t->complete = json_object_get_boolean_member_with_default(msg, "complete", TRUE);
        g_queue_push_tail(&dev->in_data, t);
        deliver_in(dev);
    } else if (strcmp(op, "stall") == 0) {
        guint ep = (guint)json_object_get_int_member(msg, "endpoint");
        set_halt(dev, ep, TRUE);
        if (ep & 0x80) { /* a waiting IN transfer ends with the stall */
            PendingUrb* p;
            while ((p = g_queue_pop_head(&dev->pending_in)))
                finish_urb(dev, p, -EPIPE);
        }
    } else {
        g_printerr("harness: unknown op %s\n", op);
    }
}

static void handle_line(const char* line)
{
    if (trace)
        fprintf(stderr, "harness[%p] <- %s\n", (void*)g_thread_self(), line);
    JsonParser* parser = json_parser_new();
    GError* error = NULL;
    if (!json_parser_load_from_data(parser, line, -1, &error)) {
        g_printerr("harness: bad line: %s\n", error->message);
        g_error_free(error);
    } else if (JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
        handle_message(json_node_get_object(json_parser_get_root(parser)));
    }
    g_object_unref(parser);
}

static gboolean on_peer(gint fd, GIOCondition condition, gpointer data)
{
    (void)condition;
    (void)data;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR)
        return G_SOURCE_CONTINUE;
    if (n <= 0) {
        g_main_loop_quit(loop);
        return G_SOURCE_REMOVE;
    }
    g_string_append_len(peer_buffer, buf, n);
    char* nl;
    while ((nl = memchr(peer_buffer->str, '\n', peer_buffer->len))) {
        *nl = '\0';
        if (nl > peer_buffer->str)
            handle_line(peer_buffer->str);
        g_string_erase(peer_buffer, 0, nl - peer_buffer->str + 1);
    }
    return G_SOURCE_CONTINUE;
}

static gboolean on_signal(gpointer data)
{
    (void)data;
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

static int connect_peer(const char* path)
{
    struct sockaddr_un addr = {.sun_family = AF_UNIX};
    if (strlen(path) >= sizeof(addr.sun_path))
        return -1;
    memcpy(addr.sun_path, path, strlen(path) + 1);
    for (int attempt = 0; attempt < 200; attempt++) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, (struct sockaddr*)&addr, sizeof(addr)) == 0)
            return fd;
        close(fd);
        g_usleep(50000);
    }
    return -1;
}

/* The harness must itself run under the preload library, or its uevents
 * never reach the clients. */
static void ensure_preload(char** argv)
{
    const char* preload = getenv("LD_PRELOAD");
    if (preload && strstr(preload, "libumockdev-preload"))
        return;
    char* value =
        preload && *preload ? g_strdup_printf("%s:%s", PRELOAD, preload) : g_strdup(PRELOAD);
    setenv("LD_PRELOAD", value, 1);
    execv("/proc/self/exe", argv);
    g_printerr("harness: cannot re-execute under %s: %s\n", PRELOAD, strerror(errno));
    exit(2);
}

/* The ROM's device is gone with its simulator; the modules stay. */
static void on_hid_end(void) {}

int main(int argc, char** argv)
{
    const char* socket_path = NULL;
    const char* hid_socket = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--socket") == 0 && i + 1 < argc)
            socket_path = argv[++i];
        else if (strcmp(argv[i], "--hid-socket") == 0 && i + 1 < argc)
            hid_socket = argv[++i];
        else if (strcmp(argv[i], "--exclusive-claims") == 0)
            exclusive_claims = TRUE;
    }
    if (!socket_path) {
        g_printerr("usage: %s --socket PATH [--exclusive-claims] [--hid-socket PATH]\n", argv[0]);
        return 2;
    }
    ensure_preload(argv);
    trace = getenv("USB_HARNESS_TRACE") != NULL;
    testbed = umockdev_testbed_new();
    devices = g_hash_table_new(NULL, NULL);
    all_devices = g_ptr_array_new();
    graveyard = g_ptr_array_new();
    gone_holders = g_ptr_array_new();
    peer_buffer = g_string_new(NULL);
    loop = g_main_loop_new(NULL, FALSE);
    peer_fd = connect_peer(socket_path);
    if (peer_fd < 0) {
        g_printerr("harness: cannot connect to %s\n", socket_path);
        return 1;
    }
    if (hid_socket && !hid_device_start(testbed, hid_socket, 2, trace, on_hid_end)) {
        g_printerr("harness: cannot connect to %s\n", hid_socket);
        return 1;
    }
    char* root = umockdev_testbed_get_root_dir(testbed);
    printf("READY %s\n", root);
    fflush(stdout);
    g_free(root);
    g_unix_fd_add(peer_fd, G_IO_IN | G_IO_HUP | G_IO_ERR, on_peer, NULL);
    g_unix_signal_add(SIGTERM, on_signal, NULL);
    g_unix_signal_add(SIGINT, on_signal, NULL);
    g_main_loop_run(loop);

    g_mutex_lock(&lock);
    GList* live = g_hash_table_get_values(devices);
    g_mutex_unlock(&lock);
    for (GList* l = live; l; l = l->next)
        detach_device(l->data);
    g_list_free(live);
    if (hid_socket)
        hid_device_stop();
    close(peer_fd);
    g_object_unref(testbed);
    return 0;
}

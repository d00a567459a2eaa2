/* The descriptors of an emulated module, as the kernel's sysfs and the
 * default pipe give them to libusb. */

#include "tests/support/usb_descriptors.h"

#include <string.h>

static void put16(GByteArray* a, guint v)
{
    guint8 b[2] = {(guint8)(v & 0xFF), (guint8)(v >> 8)};
    g_byte_array_append(a, b, 2);
}

static void add_interface(GByteArray* a, JsonObject* itf)
{
    JsonArray* eps = json_object_get_array_member(itf, "endpoints");
    guint neps = eps ? json_array_get_length(eps) : 0;
    guint8 d[9] = {9,
                   4,
                   (guint8)json_object_get_int_member(itf, "number"),
                   (guint8)json_object_get_int_member(itf, "alt"),
                   (guint8)neps,
                   (guint8)json_object_get_int_member(itf, "class"),
                   (guint8)json_object_get_int_member(itf, "subclass"),
                   (guint8)json_object_get_int_member(itf, "protocol"),
                   0};
    g_byte_array_append(a, d, 9);
    for (guint e = 0; e < neps; e++) {
        JsonObject* ep = json_array_get_object_element(eps, e);
        guint attributes = (guint)json_object_get_int_member(ep, "attributes");
        guint8 head[4] = {7, 5, (guint8)json_object_get_int_member(ep, "address"),
                          (guint8)attributes};
        g_byte_array_append(a, head, 4);
        put16(a, (guint)json_object_get_int_member_with_default(ep, "max_packet", 64));
        guint8 interval = (attributes & 3) == 3 ? 1 : 0;
        g_byte_array_append(a, &interval, 1);
    }
}

/* The device descriptor followed by the whole configuration, as the
 * kernel's sysfs "descriptors" attribute holds them. */
GByteArray* usb_make_descriptors(JsonObject* msg)
{
    GByteArray* a = g_byte_array_new();
    guint8 head[8] = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    g_byte_array_append(a, head, 8);
    put16(a, (guint)json_object_get_int_member(msg, "vendor"));
    put16(a, (guint)json_object_get_int_member(msg, "product"));
    put16(a, 0x0100);
    guint8 tail[4] = {1, 2, 3, 1};
    g_byte_array_append(a, tail, 4);

    JsonArray* itfs = json_object_get_array_member(msg, "interfaces");
    guint nitf = itfs ? json_array_get_length(itfs) : 0;
    GHashTable* numbers = g_hash_table_new(NULL, NULL);
    for (guint i = 0; i < nitf; i++) {
        JsonObject* itf = json_array_get_object_element(itfs, i);
        gint64 n = json_object_get_int_member(itf, "number");
        g_hash_table_add(numbers, GINT_TO_POINTER((int)n + 1));
    }
    guint config_start = a->len;
    guint8 config[9] = {9, 2, 0, 0, (guint8)g_hash_table_size(numbers), 1, 0, 0x80, 50};
    g_hash_table_destroy(numbers);
    g_byte_array_append(a, config, 9);
    for (guint i = 0; i < nitf; i++)
        add_interface(a, json_array_get_object_element(itfs, i));
    guint total = a->len - config_start;
    a->data[config_start + 2] = (guint8)(total & 0xFF);
    a->data[config_start + 3] = (guint8)(total >> 8);
    return a;
}

/* A string descriptor: 0 is the language list, 1 to 3 the manufacturer,
 * product and serial-number strings. */
int usb_string_descriptor(const char* serial, guint index, guint8* out, int room)
{
    const char* text = index == 1 ? "Vantor" : index == 2 ? "Vantor module" : serial;
    if (index == 0) {
        guint8 langs[4] = {4, 3, 0x09, 0x04};
        int n = MIN(room, 4);
        memcpy(out, langs, (size_t)n);
        return n;
    }
    if (index > 3)
        return -1;
    int chars = (int)strlen(text);
    guint8 d[2 + 2 * 126];
    chars = MIN(chars, 126);
    d[0] = (guint8)(2 + 2 * chars);
    d[1] = 3;
    for (int i = 0; i < chars; i++) {
        d[2 + 2 * i] = (guint8)text[i];
        d[3 + 2 * i] = 0;
    }
    int n = MIN(room, d[0]);
    memcpy(out, d, (size_t)n);
    return n;
}

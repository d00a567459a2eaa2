"""Reading and checking the JSON configuration (format: README.md)."""

import json

DEFAULT_VENDOR = 0xF055
DEFAULT_SERIAL_FALLBACK = 0xDEADDEAD


class ConfigError(Exception):
    pass


def parse_int(value, what, lo=0, hi=0xFFFFFFFF):
    """Accepts a number or a text in any base Python reads ("0x1F", "31")."""
    if isinstance(value, bool):
        raise ConfigError("%s: not a number: %r" % (what, value))
    if isinstance(value, str):
        try:
            value = int(value, 0)
        except ValueError:
            raise ConfigError("%s: not a number: %r" % (what, value)) from None
    if not isinstance(value, int) or not lo <= value <= hi:
        raise ConfigError("%s: %r is not in %d..%d" % (what, value, lo, hi))
    return value


def parse_serial(value, what="serial"):
    """A serial number is a hexadecimal text ("0000ABCD") or a number."""
    if isinstance(value, str):
        try:
            value = int(value, 16)
        except ValueError:
            raise ConfigError("%s: not hexadecimal: %r" % (what, value)) from None
    return parse_int(value, what)


def parse_version(value, what="version"):
    """"major.minor.patch" or the packed word itself."""
    if isinstance(value, str) and value.count(".") == 2:
        try:
            major, minor, patch = (int(p) for p in value.split("."))
        except ValueError:
            raise ConfigError("%s: bad version text %r" % (what, value)) from None
        if not (0 <= major <= 15 and 0 <= minor <= 15 and 0 <= patch <= 0xFFFFFF):
            raise ConfigError("%s: version part out of range in %r" % (what, value))
        return (major << 28) | (minor << 24) | patch
    return parse_int(value, what)


def parse_bytes(value, what):
    """{"hex": "..."}, {"text": "..."} or a hexadecimal text."""
    if isinstance(value, dict):
        if "text" in value:
            return value["text"].encode("utf-8")
        value = value.get("hex", "")
    if not isinstance(value, str):
        raise ConfigError("%s: expected hex text" % what)
    try:
        return bytes.fromhex(value)
    except ValueError:
        raise ConfigError("%s: bad hex text" % what) from None


def even_address(value, what):
    value = parse_int(value, what, 2, 254)
    if value % 2:
        raise ConfigError("%s: %d is odd" % (what, value))
    return value


OPTION_TYPES = ("u8", "u16", "u32", "s32", "bytes", "call")


def parse_options(raw, what):
    """Entity options keyed by number: {"12": {"type": "u32", "value": 5}}."""
    options = {}
    for key, spec in (raw or {}).items():
        number = parse_int(key, "%s option" % what, 0, 63)
        if not isinstance(spec, dict) or spec.get("type") not in OPTION_TYPES:
            raise ConfigError("%s option %s: type must be one of %s" % (what, key, OPTION_TYPES))
        entry = {"type": spec["type"], "writable": bool(spec.get("writable", False))}
        if spec["type"] == "bytes":
            entry["value"] = parse_bytes(spec.get("value", ""), "%s option %s" % (what, key))
            entry["capacity"] = parse_int(spec.get("capacity", 3072), "capacity", 0, 3072)
        elif spec["type"] != "call":
            if "values" in spec:
                entry["values"] = [_scalar(v, spec["type"], what) for v in spec["values"]]
            else:
                entry["value"] = _scalar(spec.get("value", 0), spec["type"], what)
        options[number] = entry
    return options


def _scalar(value, kind, what):
    if kind == "s32":
        return parse_int(value, what, -0x80000000, 0x7FFFFFFF) & 0xFFFFFFFF
    hi = {"u8": 0xFF, "u16": 0xFFFF, "u32": 0xFFFFFFFF}[kind]
    return parse_int(value, what, 0, hi)


def _pair_table(raw, what):
    table = {}
    for key, value in (raw or {}).items():
        parts = str(key).split(":")
        if len(parts) > 2:
            raise ConfigError("%s: bad key %r" % (what, key))
        table[tuple(parse_int(p, what, 0, 255) for p in parts)] = parse_int(value, what, 0, 255)
    return table


def module_from_json(raw, where, behind_allowed=True):
    if not isinstance(raw, dict):
        raise ConfigError("%s: a module is a JSON object" % where)
    m = {}
    m["serial"] = parse_serial(raw.get("serial", 0), where + ".serial")
    m["name"] = str(raw.get("name", "%08X" % m["serial"]))
    m["model"] = parse_int(raw.get("model", 17), where + ".model", 0, 255)
    m["address"] = even_address(raw.get("address", 2), where + ".address")
    m["router"] = even_address(raw.get("router", m["address"]), where + ".router")
    m["version"] = parse_version(raw.get("version", "1.0.0"), where + ".version")
    m["build"] = parse_int(raw.get("build", 1), where + ".build")
    m["mode"] = raw.get("mode", "firmware")
    if m["mode"] not in ("firmware", "loader"):
        raise ConfigError("%s.mode: firmware or loader" % where)
    m["powered"] = raw.get("powered", True)
    if not isinstance(m["powered"], bool):
        raise ConfigError("%s.powered: true or false" % where)
    m["identifier"] = _identifier(raw, where)
    m["device_name"] = parse_bytes(raw.get("device_name", {"text": m["name"]}), where + ".device_name")
    m["options"] = parse_options(raw.get("options"), where)
    m["heartbeat"] = _heartbeat(raw.get("heartbeat", {}), where)
    m["upgrade"] = _upgrade(raw.get("upgrade", {}), where)
    m["stores"] = _stores(raw.get("stores", {}), where)
    m["factory"] = {parse_int(k, where + ".factory", 0, 15): parse_bytes(v, where + ".factory")
                    for k, v in raw.get("factory", {}).items()}
    m["factory_capacity"] = parse_int(raw.get("factory_capacity", 1024), "factory_capacity")
    desc = raw.get("descriptors", {})
    m["class_quantities"] = _pair_table(desc.get("class_quantities", {"3": 1}), where)
    m["subclass_quantities"] = _pair_table(desc.get("subclass_quantities"), where)
    m["entity_groups"] = _pair_table(desc.get("entity_groups"), where)
    m["streams"] = [_periodic(s, where) for s in raw.get("streams", [])]
    m["faults"] = dict(raw.get("faults", {}))
    m["transports"] = _transports(raw.get("transports", {}), where)
    m["behind"] = []
    for i, sub in enumerate(raw.get("behind", [])):
        if not behind_allowed:
            raise ConfigError("%s: a module behind a router has no modules behind it" % where)
        sub_m = module_from_json(sub, "%s.behind[%d]" % (where, i), behind_allowed=False)
        if sub_m["transports"]:
            raise ConfigError("%s.behind[%d]: reached through the router only" % (where, i))
        m["behind"].append(sub_m)
    return m


def _identifier(raw, where):
    if "identifier" in raw:
        words = [parse_int(w, where + ".identifier") for w in raw["identifier"]]
    elif "fingerprint" in raw:
        # The host's fingerprint word 3 - j is the answer to subindex j.
        words = [parse_int(w, where + ".fingerprint") for w in raw["fingerprint"]][::-1]
    else:
        words = [0, 0, 0, 0]
    if len(words) != 4:
        raise ConfigError("%s: four identifier words" % where)
    return words


def _heartbeat(raw, where):
    return {
        "interval": parse_int(raw.get("interval", 0), where + ".heartbeat.interval", 0, 255),
        "unit_ms": parse_int(raw.get("unit_ms", 100), where + ".heartbeat.unit_ms", 1, 60000),
        "answer_timeout_ms": parse_int(raw.get("answer_timeout_ms", 1000), "answer_timeout_ms"),
    }


def _upgrade(raw, where):
    loader_serial = raw.get("loader_serial", None)
    return {
        "load_base": parse_int(raw.get("load_base", 0x10000000), where + ".upgrade.load_base"),
        "block_size": parse_int(raw.get("block_size", 512), where + ".upgrade.block_size", 0, 0xFFFF),
        "load_restart": bool(raw.get("load_restart", True)),
        "loader_serial": None if loader_serial is None else parse_serial(loader_serial),
        "restart_ms": parse_int(raw.get("restart_ms", 300), where + ".upgrade.restart_ms"),
        "new_version": (parse_version(raw["new_version"]) if "new_version" in raw else None),
        "new_build": (parse_int(raw["new_build"], "new_build") if "new_build" in raw else None),
    }


def _stores(raw, where):
    stores = {}
    for key, spec in raw.items():
        number = parse_int(key, where + ".stores", 0, 255)
        slots = parse_int(spec.get("slots", 1), "slots", 1, 254)
        capacity = parse_int(spec.get("capacity", 1024), "capacity", 0, 0xFFFF)
        contents = {parse_int(k, "slot", 0, slots - 1): parse_bytes(v, "slot contents")
                    for k, v in spec.get("contents", {}).items()}
        for data in contents.values():
            if len(data) > capacity:
                raise ConfigError("%s.stores.%s: contents above the capacity" % (where, key))
        stores[number] = {"slots": slots, "capacity": capacity, "contents": contents}
    return stores


def _periodic(raw, where):
    entry = {k: parse_int(raw.get(k, 0), where + ".streams." + k, 0, 255)
             for k in ("command", "option", "index", "subindex")}
    entry["type"] = parse_int(raw.get("type", 3), where + ".streams.type", 1, 7)
    entry["period_ms"] = parse_int(raw.get("period_ms", 100), where + ".streams.period_ms", 1)
    entry["values"] = [parse_int(v, where + ".streams.values") for v in raw.get("values", [0])]
    if entry["type"] == 4 or not entry["values"]:
        raise ConfigError("%s.streams: periodic samples need a value type and values" % where)
    return entry


def _endpoint(raw):
    return {"address": parse_int(raw["address"], "endpoint address", 0, 255),
            "attributes": parse_int(raw.get("attributes", 2), "attributes", 0, 255),
            "max_packet": parse_int(raw.get("max_packet", 64), "max_packet", 0, 0xFFFF)}


DEFAULT_INTERFACES = [{"number": 0, "alt": 0, "class": 255, "subclass": 136, "protocol": 16,
                       "endpoints": [{"address": 129, "attributes": 2, "max_packet": 64},
                                     {"address": 1, "attributes": 2, "max_packet": 64}]}]


def _usb(raw, model):
    interfaces = []
    for itf in raw.get("interfaces", DEFAULT_INTERFACES):
        interfaces.append({
            "number": parse_int(itf.get("number", 0), "interface number", 0, 255),
            "alt": parse_int(itf.get("alt", 0), "alt", 0, 255),
            "class": parse_int(itf.get("class", 255), "class", 0, 255),
            "subclass": parse_int(itf.get("subclass", 136), "subclass", 0, 255),
            "protocol": parse_int(itf.get("protocol", 16), "protocol", 0, 255),
            "endpoints": [_endpoint(e) for e in itf.get("endpoints", [])],
        })
    serial_string = raw.get("serial_string")
    return {"vendor": parse_int(raw.get("vendor", DEFAULT_VENDOR), "vendor", 0, 0xFFFF),
            "product": parse_int(raw.get("product", model), "product", 0, 0xFFFF),
            "serial_string": None if serial_string is None else str(serial_string),
            "interfaces": interfaces}


def _transports(raw, where):
    out = {}
    if "tcp" in raw:
        tcp = raw["tcp"]
        out["tcp"] = {"bind": str(tcp.get("bind", "127.0.0.1")),
                      "port": parse_int(tcp.get("port", 0), where + ".tcp.port", 0, 65535),
                      "discovery": bool(tcp.get("discovery", True))}
    for kind in ("serial", "node"):
        if kind in raw:
            out[kind] = {"symlink": raw[kind].get("symlink")}
    if "usb" in raw:
        out["usb"] = raw["usb"]
    return out


def load(path):
    try:
        with open(path, "r", encoding="utf-8") as f:
            raw = json.load(f)
    except (OSError, ValueError) as e:
        raise ConfigError("%s: %s" % (path, e)) from None
    return from_json(raw)


def from_json(raw):
    if not isinstance(raw, dict) or not isinstance(raw.get("modules"), list) or not raw["modules"]:
        raise ConfigError("the configuration needs a non-empty \"modules\" list")
    modules = [module_from_json(m, "modules[%d]" % i) for i, m in enumerate(raw["modules"])]
    for m in modules:
        if "usb" in m["transports"]:
            m["transports"]["usb"] = _usb(m["transports"]["usb"], m["model"])
    discovery = raw.get("discovery", [])
    if isinstance(discovery, dict):
        discovery = [discovery]
    responders = []
    for d in discovery:
        if "interface" not in d:
            raise ConfigError("discovery: an interface address is required")
        responders.append({"interface": str(d["interface"]),
                           "group": str(d.get("group", "232.2.2.2")),
                           "port": parse_int(d.get("port", 9888), "discovery port", 1, 65535),
                           "reply_port": parse_int(d.get("reply_port", 9889), "reply port", 1, 65535)})
    return {"modules": modules, "discovery": responders,
            "frame_timeout_ms": parse_int(raw.get("frame_timeout_ms", 250), "frame_timeout_ms", 1)}

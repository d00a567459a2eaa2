"""The USB transport through the real libusb, against modules emulated by
the umockdev harness. The test plays the modules' side of the harness
itself (tests/support/usb_emulation.py), so it can deliver exactly the
transfers a case needs; the client is usb_probe, an ordinary program
linked with the library."""

import os
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
import updater_test  # noqa: E402
from usb_emulation import CLOSED, CREATED, FAILED, OPEN, EmulatedUsbTest  # noqa: E402



def interface(number=0, cls=255, subclass=136, protocol=16, endpoints=((0x81, 2), (0x01, 2)), alt=0):
    return {"number": number, "alt": alt, "class": cls, "subclass": subclass, "protocol": protocol,
            "endpoints": [{"address": a, "attributes": t, "max_packet": 64} for a, t in endpoints]}


class Open(EmulatedUsbTest):
    def test_the_match_rule_and_the_serial_string_choose_the_device(self):
        self.peer.attach(1, "11111111", product=0x8011)
        self.peer.attach(2, "40F5849A")
        p = self.probe()
        p.ask("create usblib")
        self.assertEqual(p.ask("open 11111111")[0], ["kErrNotFound", CREATED])
        self.assertEqual(p.ask("open 40F5849a")[0], ["kErrNotFound", CREATED], "compared exactly")
        self.assertEqual(p.ask("open 40F5849A")[0], ["kErrNone", OPEN])
        self.assertEqual(self.peer.seen("claim"), [{"op": "claim", "id": 2, "interface": 0}])
        self.assertEqual(p.ask("open 40F5849A")[0], ["kErrBusy", OPEN], "opened once")

    def test_an_interface_with_only_an_in_endpoint_is_a_configuration_error(self):
        self.peer.attach(1, "40F5849A", interfaces=[interface(endpoints=((0x81, 2),))])
        p = self.probe()
        p.ask("create usblib")
        self.assertEqual(p.ask("open 40F5849A")[0], ["kErrConfiguration", CLOSED])
        self.assertEqual(self.peer.seen("claim"), [])

    def test_the_vendor_interface_is_found_among_others(self):
        self.peer.attach(1, "40F5849A", interfaces=[
            interface(0, cls=2, subclass=2, protocol=1, endpoints=((0x83, 3),)),
            interface(1, endpoints=((0x82, 3), (0x02, 2), (0x85, 1))),  # isochronous ignored
        ])
        p = self.probe()
        p.ask("create usblib")
        self.assertEqual(p.ask("open 40F5849A")[0], ["kErrNone", OPEN])
        self.assertEqual(self.peer.seen("claim")[0]["interface"], 1)
        self.peer.send_in(1, b"\x07")
        self.assertEqual(p.ask("get")[0], ["kErrNone", "07"])
        self.assertEqual(self.peer.seen("in_urb")[-1]["endpoint"], 0x82, "interrupt IN is taken")
        p.ask("write 09")
        self.assertEqual(self.peer.seen("out"), [{"op": "out", "id": 1, "data": "09"}])

    def test_each_path_refuses_a_record_of_the_other_mode(self):
        p = self.probe()
        p.ask("create usblib")
        for op in ("kernel-open", "kernel-write", "kernel-get", "kernel-close", "usblib-close"):
            self.assertEqual(p.ask("call " + op)[0], ["kErrMode"], op)
        self.assertEqual(p.ask("write 01")[0], ["kErrNotReady", CREATED], "not open yet")
        self.assertEqual(p.ask("get")[0], ["kErrNotReady"])
        p.ask("destroy")
        p.ask("create kernel")
        for op in ("usblib-open", "usblib-write", "usblib-get", "usblib-close"):
            self.assertEqual(p.ask("call " + op)[0], ["kErrMode"], op)
        self.assertEqual(p.ask("call kernel-write")[0], ["kErrMode"], "no node open")
        self.assertEqual(p.ask("call kernel-close")[0], ["kErrNone"], "nothing to close")
        self.assertEqual(p.ask("open 0000BEEF")[0], ["kErrIO", CREATED], "no such node")

    def test_a_release_that_fails_for_another_reason_is_reported(self):
        first = self.opened()
        second = self.probe()
        second.ask("create usblib")
        # Takes the interface over, which only this emulation allows.
        self.assertEqual(second.ask("open 40F5849A")[0], ["kErrNone", OPEN])
        self.assertEqual(first.ask("close")[0], ["kErrNone", CLOSED])
        self.assertIn("error release -99", first.other)


class ExclusiveClaims(EmulatedUsbTest):
    EXCLUSIVE_CLAIMS = True

    def test_a_module_another_program_holds_is_busy_until_it_lets_go(self):
        holder = self.opened()
        other = self.probe()
        other.ask("create usblib")
        self.assertEqual(other.ask("open 40F5849A")[0][0], "kErrBusy")
        self.assertEqual(len(self.peer.seen("claim")), 1, "the refused claim never reached it")
        holder.ask("close")
        self.assertEqual(other.ask("open 40F5849A")[0], ["kErrNone", OPEN])


class Transfers(EmulatedUsbTest):
    def test_a_120_byte_write_leaves_as_50_50_and_20(self):
        p = self.opened()
        data = bytes(range(120))
        self.assertEqual(p.ask("write " + data.hex())[0], ["kErrNone", OPEN])
        outs = [bytes.fromhex(m["data"]) for m in self.peer.seen("out")]
        self.assertEqual([len(o) for o in outs], [50, 50, 20])
        self.assertEqual(b"".join(outs), data)

    def test_bulk_in_asks_for_1024_bytes(self):
        p = self.opened()
        self.peer.send_in(1, b"\x02\x02\x00\x00")
        self.assertEqual(p.ask("get 4")[0], ["kErrNone", "02020000"])
        self.assertEqual({m["length"] for m in self.peer.seen("in_urb")}, {1024})

    def test_an_answer_is_fetched_once_and_served_byte_by_byte(self):
        p = self.opened()
        self.peer.send_in(1, bytes(range(12)), complete=False)
        self.assertEqual(p.ask("get 1")[0], ["kErrNone", "00"], "the time-out keeps 12 bytes")
        urbs = len(self.peer.seen("in_urb"))
        self.assertEqual(p.ask("get 11")[0], ["kErrNone", bytes(range(1, 12)).hex()])
        self.assertEqual(len(self.peer.seen("in_urb")), urbs, "no transfer for the buffered bytes")
        self.assertEqual(p.ask("get")[0], ["kErrNotReady"])

    def test_an_idle_read_and_an_empty_transfer_are_not_ready(self):
        p = self.opened()
        self.assertEqual(p.ask("get")[0], ["kErrNotReady"])
        self.peer.send_in(1, b"")
        self.assertEqual(p.ask("get")[0], ["kErrNotReady"], "no byte that did not come")
        self.peer.send_in(1, b"A")
        self.assertEqual(p.ask("get")[0], ["kErrNone", "41"])
        self.assertEqual(p.ask("state")[0], ["kErrNone", OPEN])

    def test_stalls_are_cleared(self):
        p = self.opened()
        self.peer.stall(1, 0x81)
        self.assertEqual(p.ask("get")[0], ["kErrNotReady"])
        self.assertEqual(self.peer.seen("clear_halt"), [{"op": "clear_halt", "id": 1, "endpoint": 0x81}])
        self.peer.send_in(1, b"\x11")
        self.assertEqual(p.ask("get")[0], ["kErrNone", "11"])

        self.peer.stall(1, 0x01)
        self.assertEqual(p.ask("write 2233")[0], ["kErrNone", OPEN], "retried after the clear")
        self.assertEqual(self.peer.seen("clear_halt")[-1]["endpoint"], 0x01)
        self.assertEqual(self.peer.seen("out")[-1]["data"], "2233")

    def test_an_unplug_while_open_fails_the_record(self):
        p = self.opened()
        self.peer.detach(1)
        self.assertEqual(p.ask("get")[0], ["kErrIO"])
        self.assertEqual(p.ask("state")[0], ["kErrNone", FAILED])
        self.assertEqual(p.ask("write 01")[0], ["kErrIO", FAILED])
        self.assertEqual(p.ask("close")[0], ["kErrNone", CLOSED])
        self.assertNotIn("error release", p.other, "a module that has gone has nothing to release")
        self.assertEqual(p.ask("write 01")[0], ["kErrConnection", CLOSED])
        self.assertEqual(p.ask("enumerate USB")[0], ["0"])

    def test_a_discovery_while_a_read_is_in_flight(self):
        reader = self.opened()
        reader.send("await 5000")
        self.peer.expect("in_urb", 1)
        for _ in range(3):
            self.assertEqual(self.probe().ask("enumerate USB")[0], ["1"])
        self.peer.send_in(1, b"\x42")
        self.assertEqual(reader.answer()[0], ["kErrNone", "42"], "its own transfer, intact")

    def test_plugging_while_clients_open_and_close_their_contexts(self):
        # Each enumeration opens and closes libusb's event socket; a uevent
        # sent just then once took the harness, and every client, down.
        plugging = threading.Event()

        def plug():
            devnum = 2  # a new node each time, as the harness keeps the old ones
            while not plugging.is_set():
                self.peer.attach(1, "40F5849A", devnum=devnum)
                self.peer.detach(1)
                devnum += 1

        plugger = threading.Thread(target=plug)
        plugger.start()
        try:
            p = self.probe()
            for _ in range(1500):
                p.ask("enumerate USB")
        finally:
            plugging.set()
            plugger.join()
        self.assertIsNone(self.usb.process.poll(), "the harness is still up")

    def test_a_client_that_died_leaves_no_transfer_behind(self):
        first = self.opened()
        first.send("await 5000")
        dead = self.peer.expect("in_urb", 1)["client"]
        first.kill()
        second = self.probe()
        second.ask("create usblib")
        self.assertEqual(second.ask("open 40F5849A")[0], ["kErrNone", OPEN])
        second.send("await 5000")
        while self.peer.expect("in_urb", 1)["client"] == dead:
            pass
        self.peer.send_in(1, b"\x43")
        self.assertEqual(second.answer()[0], ["kErrNone", "43"])

    def test_two_modules_at_once(self):
        a = self.opened("40F5849A", 1)
        b = self.opened("0000ABCD", 2)
        a.ask("write aa")
        b.ask("write bb")
        self.peer.send_in(2, b"\x0b")
        self.peer.send_in(1, b"\x0a")
        self.assertEqual(a.ask("get")[0], ["kErrNone", "0a"])
        self.assertEqual(b.ask("get")[0], ["kErrNone", "0b"])
        self.assertEqual([(m["id"], m["data"]) for m in self.peer.seen("out")], [(1, "aa"), (2, "bb")])


class UsbStream(EmulatedUsbTest):
    def test_a_stream_names_the_module_with_eight_digits(self):
        self.peer.attach(1, "00ABCDEF")
        p = self.probe()
        self.assertEqual(p.ask("stream ABCDEF")[0], ["kErrNone"])
        self.assertEqual(p.ask("swrite 0102030405")[0], ["kErrNone"])
        self.assertEqual(self.peer.seen("out")[-1]["data"], "0102030405", "one frame, one transfer")
        self.assertEqual(p.ask("swait 50")[0], ["kErrTimeout"])
        self.peer.send_in(1, b"\x02\x01\x09")
        self.assertEqual(p.ask("swait 2000")[0], ["kErrNone"], "the wait's transfer brings them")
        self.assertEqual(p.ask("sread 3 0")[0], ["kErrNone", "020109"])
        self.assertEqual(p.ask("sdestroy")[0], ["kErrNone"])
        self.assertEqual(len(self.peer.seen("release")), 1)

    def test_stream_constructor_errors(self):
        p = self.probe()
        self.assertEqual(p.ask("stream 0")[0], ["kErrParam"])
        self.assertEqual(p.ask("stream 40F5849A")[0], ["kErrNotFound"])


if __name__ == "__main__":
    updater_test.main()

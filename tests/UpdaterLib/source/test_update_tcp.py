"""The update command end to end over TCP/IP: the real binary in one
namespace of a private pair, the simulated module in the other, and the
local update server beside the binary. Which build is chosen and from
where, what is checked before anything is sent, what the module holds
afterwards (byte for byte) and what is recorded."""

import json
import os
import shutil
import tempfile

from update_fixtures import (OTHER_SERIAL, ROUTER, SERIAL, UPGRADE, TcpUpdateTest, Unit, birdtool,
                             read_settings, seed_store, unit_dir, updater_test)
from update_server_support import UpdateServerProcess

NEW_1003 = {"new_build": 1003, "new_version": "1.2.0"}
NEW_FIRMWARE = ("New firmware is available.  Updater will proceed if valid firmware is found "
                "locally.")


def write_log(sim):
    """The byte counts of the WRITE requests the module received, in order."""
    counts = []
    for entry in sim.log_entries():
        hex_ = entry.get("hex", "")
        if entry.get("kind") == "frame" and entry.get("dir") == "rx" and hex_[4:8] == "5f05":
            counts.append(int(hex_[8:12], 16))
    return counts


def pieces(sizes, block_size):
    out = []
    for size in sizes:
        out += [block_size] * (size // block_size) + ([size % block_size] if size % block_size else [])
    return out


class UpdateOverTcp(TcpUpdateTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.catalog_dir = tempfile.mkdtemp(prefix="update-catalog-")
        cls.units = {1002: Unit(1002, "1.1.0", seed=2), 1003: Unit(1003, "1.2.0", seed=3)}
        builds = []
        for build, unit in cls.units.items():
            unit.write(os.path.join(cls.catalog_dir, "%d.bird" % build))
            builds.append({"build": build, "version": unit.version, "file": "%d.bird" % build})
        catalog = os.path.join(cls.catalog_dir, "catalog.json")
        with open(catalog, "w", encoding="utf-8") as f:
            json.dump({"units": {SERIAL: {"firmware": "main", "latest": 1003, "builds": builds}},
                       "fingerprints": {}}, f)
        cls.server = UpdateServerProcess(catalog=catalog, prefix=cls.pair.host_prefix())

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.catalog_dir, ignore_errors=True)
        super().tearDownClass()

    def served(self, *args, command=("-U",)):
        before = len(self.server.log_lines())
        result = self.update(*args, url=self.server.url, command=command)
        self.requests = self.server.log_lines()[before:]
        return result

    def assert_untouched(self, result):
        """Refused before anything went to the module."""
        self.assertEqual(result.status, 1, result)
        self.assertEqual(self.upgrade()["counts"]["init"], 0, "no upgrade packet sent")
        self.assertNotIn("LAST_TRANSFER_DATE", read_settings(self.home))
        self.assertNotIn("Update time", result.out)

    # A full update and the file it names.

    def test_a_template_file_goes_in_whole_with_the_prepared_block_size(self):
        unit = Unit(1002, "1.1.0", serial="FFFFFFFF", template=True, firmware=(3000, 1000, 77),
                    loaders=(700, 60))
        self.start_module(upgrade={"block_size": 300})
        path = self.file(unit)
        result = self.update("-f", path)
        self.assert_updated(result, unit, path)
        self.assertEqual(write_log(self.sim), pieces((3000, 1000, 77), 300))
        self.assertIn("Transferring loader block 2 of 2, 64 bytes\n", result.out)
        self.assertIn("Transferred 3 blocks, 4089 total bytes\n", result.out)
        self.assertFalse(os.path.exists("/.settings"), "nothing saved through an empty item")

    def test_another_units_file_is_refused_unless_overridden(self):
        unit = Unit(1002, "1.1.0", serial=OTHER_SERIAL)
        self.start_module()
        path = self.file(unit)
        result = self.update("-f", path)
        self.assertIn("Birdfile failed validation\n", result.err)
        self.assert_untouched(result)
        self.assertTrue(os.path.isdir(unit_dir(self.home)), "the unit has its store item")

        result = self.update("-f", path, "-OVERRIDE")
        self.assertIn("Updating from Birdfile: %s\n" % path, result.out)
        self.assert_updated(result, unit, path)

    def test_a_model_mismatch_is_refused(self):
        self.start_module()
        result = self.update("-f", self.file(Unit(1002, "1.1.0", model="PodUsb")))
        self.assertIn("Connected device model and Bird file model do not match [HubQuad]\n"
                      "Birdfile failed validation\n", result.err)
        self.assert_untouched(result)

    def test_a_file_without_firmware_or_whole_blocks_is_refused_even_with_the_override(self):
        self.start_module()
        unit = Unit(1002, "1.1.0")
        path = os.path.join(self.files, "mismatch.bird")
        with open(path, "wb") as f:
            f.write(birdtool.bird_file(unit.blocks, block_count=len(unit.blocks) + 1))
        for path in (self.file(Unit(1002, "1.1.0", firmware=())), path):
            result = self.update("-f", path, "-OVERRIDE")
            self.assertIn("Birdfile failed validation\n", result.err)
            self.assert_untouched(result)

    # The build from the store.

    def test_a_build_given(self):
        seed_store(self.home, [self.units[1002]])
        self.start_module()
        result = self.served("-b", "1002")
        self.assertIn("Updating firmware with build: 1002\n", result.out)
        self.assert_updated(result, self.units[1002], "1002.bird")
        self.assertFalse(any(b"op=qu" in line for line in self.requests), "no server question")

    def test_a_build_given_that_is_not_in_the_store(self):
        seed_store(self.home, [self.units[1002]])
        self.start_module()
        result = self.served("-b", "1003")
        self.assertIn("Failed to load bird file\n", result.err)
        self.assertEqual(self.requests, [], "no download attempted")
        self.assert_untouched(result)

    def test_the_servers_latest_when_it_is_in_the_store(self):
        seed_store(self.home, [self.units[1002], self.units[1003]],
                   {"LATEST_DOWNLOAD": "1002.bird"})
        self.start_module(NEW_1003)
        result = self.served()
        self.assertIn("Updating firmware with build: 1003\n", result.out)
        self.assertNotIn("Latest Download", result.out)
        self.assert_updated(result, self.units[1003], "1003.bird")

    def test_the_latest_download_when_the_servers_latest_is_not_in_the_store(self):
        seed_store(self.home, [self.units[1002]], {"LATEST_DOWNLOAD": "1002.bird"})
        self.start_module()
        result = self.served()
        self.assertIn(NEW_FIRMWARE + "\nUpdating with the Latest Download\n"
                      "Updating firmware with build: 1002\n", result.out)
        self.assertFalse(any(b"op=bird" in line for line in self.requests), "nothing downloaded")
        self.assert_updated(result, self.units[1002], "1002.bird")

    def test_without_a_server_the_latest_download(self):
        seed_store(self.home, [self.units[1002]],
                   {"LATEST_DOWNLOAD": "1002.bird", "LATEST_TRANSFER": "1003.bird"})
        self.start_module()
        result = self.update("-X", "0x1")
        self.assertIn("Error: Could not convert  to int.\n", result.err)
        self.assertIn("Updating with the Latest Download\n", result.out)
        self.assertNotIn(NEW_FIRMWARE, result.out)
        self.assert_updated(result, self.units[1002], "1002.bird")

    def test_without_a_server_the_latest_transfer(self):
        seed_store(self.home, [self.units[1002]], {"LATEST_TRANSFER": "1002.bird"})
        self.start_module()
        result = self.update()
        self.assertIn("Updating with the Latest Transfer\n", result.out)
        self.assert_updated(result, self.units[1002], "1002.bird")

    def test_without_a_server_or_a_record(self):
        seed_store(self.home, [self.units[1002]], {"LATEST_TRANSFER": "/some/file.bird"})
        self.start_module()
        result = self.update()
        self.assertIn("Could not find valid build for this device.\n", result.err)
        self.assert_untouched(result)

    def test_get_and_update_in_one_run(self):
        self.start_module(NEW_1003)
        result = self.served(command=("-G", "-U"))
        self.assertIn("Retrieving build 1003\n", result.out)
        self.assertIn("Updating firmware with build: 1003\n", result.out)
        self.assert_updated(result, self.units[1003], "1003.bird")
        self.assertEqual(read_settings(self.home)["LATEST_DOWNLOAD"], "1003.bird")

    def test_a_module_back_late_within_the_window_is_verified(self):
        self.start_module(faults={"restart_delay_ms": {"reboot": 8000}})
        unit = Unit(1002, "1.1.0", seed=7)
        path = self.file(unit)
        self.assert_updated(self.update("-f", path), unit, path)

    def test_a_file_that_names_no_build_is_never_verified(self):
        self.start_module()
        result = self.update("-f", self.file(Unit(0, "1.1.0")))
        self.assertIn("Firmware update not verified [the file names no build]\n", result.err)
        self.assert_failed(result, loads=1, reboots=1)

    def test_unsolicited_packets_leave_the_update_verified(self):
        self.start_module(faults={"unsolicited": 1000})
        unit = Unit(1002, "1.1.0", seed=8)
        path = self.file(unit)
        result = self.update("-f", path, "-X", "0x100")
        self.assert_updated(result, unit, path)
        self.assertRegex(result.err, r"\d+ late and [1-9]\d* unknown packets")

    def test_get_and_update_in_one_run_as_json(self):
        self.start_module(NEW_1003)
        result = self.served(command=("-G", "-U", "--json"))
        self.assertEqual(result.status, 0, result)
        self.assertRegex(result.err, r"Update time: \d+\.\d{4} sec\n")
        document = updater_test.json_document(result.out, "get", "update")
        self.assertEqual(document["get"], {"serial": SERIAL, "outcome": "ok", "build": 1003,
                                           "file": "1003.bird"})
        self.assertEqual(document["update"], {"serial": SERIAL, "outcome": "ok", "build": 1003,
                                              "file": "1003.bird", "verifiedBuild": 1003})

    # Through a router: the module is found behind it, restarts without the
    # link dropping, and is verified through it.

    def test_a_module_behind_a_router_is_updated_and_verified_through_it(self):
        self.start_module(routed=True)
        path = self.file(self.units[1002])
        result = self.update("-f", path, "-r", ROUTER)
        self.assert_updated(result, self.units[1002], path)
        self.assertEqual(self.sim.state("router")["route_to_me"], 0, "routing switched off")

    def test_a_module_behind_a_router_that_does_not_take_the_image(self):
        for faults, reason in (({"no_return_after_reboot": True}, "did not come back"),
                               ({"reboot_to_old_image": True}, "runs build 1001, not 1002")):
            with self.subTest(reason):
                self.start_module(routed=True, faults=faults)
                result = self.update("-f", self.file(self.units[1002]), "-r", ROUTER)
                self.assertIn("Firmware update not verified [%s %s]\n" % (SERIAL, reason),
                              result.err)
                self.assert_failed(result, loads=1, reboots=1)
                self.sim.stop()

    def test_a_module_that_is_not_behind_the_router(self):
        path = self.file(self.units[1002])
        result = self.update("-f", path, "-r", ROUTER)
        self.assertIn("Failed to connect to link module [%s]\n" % ROUTER, result.err)
        self.start_module(routed=True)
        result = self.update("-f", path, "-r", ROUTER, serial=OTHER_SERIAL)
        self.assertIn("Module %s not found behind router %s\n" % (OTHER_SERIAL, ROUTER),
                      result.err)
        self.assertEqual((result.status, self.upgrade()["counts"]["init"]), (1, 0))


def upgrade_packets(sim):
    """The upgrade requests (command 95) the simulator received."""
    return [e for e in sim.log_entries() if e.get("kind") == "frame" and e.get("dir") == "rx"
            and e.get("hex", "")[4:6] == "5f"]


FLEET = ["0000F001", "0000F002", "0000F003"]


class FleetOverTcp(TcpUpdateTest):
    """Several modules in one run, a dry run and a module left on its build."""

    def test_four_modules_at_once_and_one_that_never_comes_back(self):
        self.start_module(extra=[
            {"name": serial, "serial": serial, "model": 17, "address": 2, "build": 1001,
             "upgrade": UPGRADE, "faults": {"no_return_after_reboot": serial == FLEET[2]}}
            for serial in FLEET])
        unit = Unit(1002, "1.1.0", serial="FFFFFFFF", template=True)
        path = self.file(unit)
        serials = [SERIAL] + FLEET
        result = self.update("-f", path, "--json", "--progress=json", serial=",".join(serials))
        self.assertEqual(result.status, 1, result)
        document = updater_test.json_document(result.out, "update")
        self.assertEqual([(d["serial"], d["outcome"], d["verifiedBuild"]) for d in document],
                         [(s, "ok", 1002) for s in serials[:3]] + [(FLEET[2], "failed", 0)])
        for serial in serials:
            memory = self.sim.control("memory", module=serial if serial != SERIAL else "hub")
            self.assertEqual(memory["firmware"], unit.firmware_payloads(int(serial, 16)), serial)
            recorded = read_settings(self.home, serial).get("LATEST_TRANSFER")
            self.assertEqual(recorded, None if serial == FLEET[2] else path, serial)
        self.assertIn("%s  build 1001 -> build 1002  failed: Firmware update not verified [%s did "
                      "not come back]\n" % (FLEET[2], FLEET[2]), result.err)
        self.assertIn("Updated 3 of 4 modules\n", result.err)

        lines = [json.loads(line) for line in result.err.splitlines() if line.startswith("{")]
        schema = updater_test.schema("progress")
        for line in lines:
            schema.validate(line)
        totals = {"loader": sum(len(b.payload) for b in unit.loaders),
                  "firmware": sum(len(b.payload) for b in unit.firmware)}
        for serial in serials:
            mine = [line for line in lines if line["module"] == serial]
            self.assertEqual([line["event"] for line in mine if line["event"] != "block"],
                             ["stage", "stage", "reboot", "verify", "end"], serial)
            for stage, total in totals.items():
                blocks = [line for line in mine if line.get("stage") == stage
                          and line["event"] == "block"]
                self.assertEqual((blocks[-1]["bytes"], blocks[-1]["total"]), (total, total))

    def test_a_dry_run_shows_the_plan_and_sends_nothing(self):
        self.start_module()
        unit = Unit(1002, "1.1.0")
        result = self.update("-f", self.file(unit), "--dry-run")
        self.assertEqual(result.status, 0, result)
        self.assertIn("Would update module %s from build 1001 to build 1002 with %s (1 loader "
                      "blocks, 2 firmware blocks, %d bytes)\n"
                      % (SERIAL, self.file(unit), sum(len(b.payload) for b in
                                                       unit.loaders + unit.firmware)),
                      result.out)
        result = self.update("-f", self.file(Unit(1002, "1.1.0", model="PodUsb")), "--dry-run")
        self.assertEqual(result.status, 1, result)
        self.assertIn("Connected device model and Bird file model do not match [HubQuad]\n",
                      result.err)
        self.assertEqual(upgrade_packets(self.sim), [], "no upgrade packet")
        self.assertFalse(os.path.exists(unit_dir(self.home)), "nothing written in the store")

    def test_a_module_on_the_files_build_is_left_alone(self):
        self.start_module(build=1002)
        result = self.update("-f", self.file(Unit(1002, "1.1.0")), "--skip-current")
        self.assertEqual(result.status, 0, result)
        self.assertIn("Module %s already runs build 1002\n" % SERIAL, result.out)
        self.assertEqual(upgrade_packets(self.sim), [], "no upgrade packet")


if __name__ == "__main__":
    updater_test.main()

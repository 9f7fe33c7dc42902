import collections
import platform

import psutil
import pytest

from knobsmith.recommend import Adaptenv, ParamsItem, Paramsdb, SystemCollecter

Memory = collections.namedtuple("Memory", "total available")
Partition = collections.namedtuple("Partition", "device mountpoint fstype opts")


def item(name="p", adapt=(), version="", get="cat /nonexistent", set="echo $value > /nonexistent", **extra):
    entry = {
        "name": name, "desc": "", "get": get, "set": set, "needrestart": "false", "type": "continuous",
        "dtype": "int", "scope": [1, 2], "step": 1, "items": [], "options": [], "level": "low",
        "version": version, "adapt": list(adapt),
    }
    entry.update(extra)
    return ParamsItem(entry)


@pytest.fixture
def machine(monkeypatch):
    """Replaces this machine's memory, partitions and release; returns a setter for each."""

    class Machine:
        def memory(self, total):
            monkeypatch.setattr(psutil, "virtual_memory", lambda: Memory(total, total // 2))
            SystemCollecter().__init__()  # the singleton read the real figures on first use

        def partitions(self, *parts):
            def fake(all=True):
                assert all is False
                return [Partition(device, "/", fstype, "rw") for device, fstype in parts]

            monkeypatch.setattr(psutil, "disk_partitions", fake)

        def release(self, text):
            monkeypatch.setattr(platform, "release", lambda: text)

    return Machine()


def test_untagged_items_pass_untouched():
    untagged = item(adapt=[])
    deleted = item(adapt=[])
    deleted.is_del = True
    assert Adaptenv().handle([untagged, deleted]) == [untagged]


@pytest.mark.parametrize(
    "release, kept",
    [("5.10.0-136.qz10.x86_64", True), ("5.10.0-qz12", False), ("4.19-qz1-qz12", True), ("6.1.0-generic", False)],
)
def test_version_tag_keeps_items_made_for_this_release(machine, release, kept, log_lines):
    machine.release(release)
    result = Adaptenv().handle([item(adapt=["version"], version="10,11")])
    assert len(result) == (1 if kept else 0)
    if "qz" not in release:
        assert log_lines() == [("DEBUG", "p: no qz number in release 6.1.0-generic, cannot confirm version 10,11")]


def test_every_tagged_step_runs_even_after_a_deletion(machine):
    machine.release("x-qz12")
    machine.partitions(("/dev/nvme0n1p1", "ext4"))
    tagged = item(adapt=["version", "disk"], version="10", get="cat /sys/block/sda/stat", set="echo $value > /sys/block/sda/x")
    assert Adaptenv().handle([tagged]) == []
    assert (tagged.get, tagged.set) == ("cat /sys/block/nvme0n1/stat", "echo $value > /sys/block/nvme0n1/x")


@pytest.mark.parametrize(
    "total, size_scope, instances_scope, kept",
    [
        (17179869184, [10307921510, 12025908428], [9, 11], True),
        (1073741824, [644245094, 751619276], [0, 1], True),
        (966367641, [579820584, 676457348], [0, 1], False),
    ],
)
def test_memory_sized_ranges(machine, log_lines, total, size_scope, instances_scope, kept):
    machine.memory(total)
    size = item("innodb_buffer_pool_size", adapt=["scope"])
    instances = item("innodb_buffer_pool_instances", adapt=["scope"])
    other = item("innodb_io_capacity", adapt=["scope"])
    result = Adaptenv().handle([size, instances, other])
    assert (size.scope, instances.scope, other.scope) == (size_scope, instances_scope, [1, 2])
    assert result == ([size, instances, other] if kept else [size, other])
    assert log_lines() == ([] if kept else [("DEBUG", "innodb_buffer_pool_instances scope invaild.")])


@pytest.mark.parametrize(
    "command, path",
    [
        ("cat /sys/block/sda/queue/scheduler", "/sys/block/sda/queue/scheduler"),
        ("  cat   a   b  ", "a b"),
        ("echo 1", ""),
        ("cat", ""),
        ("", ""),
    ],
)
def test_file_path_of_a_cat_command(command, path):
    assert Adaptenv().get_file_path(command) == path


@pytest.mark.parametrize(
    "device, disk",
    [
        ("/dev/sda1", "sda"), ("/dev/sda", "sda"), ("/dev/sda12", "sda"), ("/dev/sdab3", "sdab"),
        ("/dev/vda1", "vda"), ("/dev/xvdb2", "xvdb"), ("/dev/nvme0n1p1", "nvme0n1"), ("/dev/nvme0n1", "nvme0n1"),
        ("/dev/nvme10n2p15", "nvme10n2"), ("/dev/mmcblk0p2", "mmcblk0"), ("/dev/mmcblk0", "mmcblk0"),
        ("/dev/md0", "md0"), ("/dev/mapper/vg-root", ""), ("/dev/disk/by-id/x", ""), ("not a device", ""),
    ],
)
def test_disk_name_of_a_partition(device, disk):
    assert Adaptenv().get_disk_name_from_partition(device) == disk


@pytest.mark.parametrize("device", [None, 5, b"/dev/sda1"])
def test_disk_name_wants_a_str(device):
    with pytest.raises(TypeError):
        Adaptenv().get_disk_name_from_partition(device)


def test_physical_disks_are_distinct_sorted_and_real(machine):
    machine.partitions(
        ("/dev/sdb2", "xfs"), ("/dev/sda1", "ext4"), ("/dev/sda2", "ext4"), ("/dev/loop3", "squashfs"),
        ("/dev/sr0", "iso9660"), ("/dev/sdc1", "tmpfs"), ("tmpfs", "tmpfs"), ("overlay", "overlay"),
        ("/dev/mapper/vg-root", "ext4"), ("/dev/nvme0n1p1", "vfat"),
    )
    assert Adaptenv().get_all_disks() == ["nvme0n1", "sda", "sdb"]


def test_disk_tag_points_at_the_first_disk_and_drops_missing_files(machine, tmp_path):
    (tmp_path / "vdb" / "queue").mkdir(parents=True)
    (tmp_path / "vdb" / "queue" / "nr_requests").write_text("64\n")
    machine.partitions(("/dev/vdb1", "ext4"), ("/dev/xvdz1", "ext4"))
    present = item(adapt=["disk"], get=f"cat {tmp_path}/sda/queue/nr_requests", set="echo $value > sda")
    absent = item(adapt=["disk"], get=f"cat {tmp_path}/sda/queue/missing")
    not_cat = item(adapt=["disk"], get=f"head -n 1 {tmp_path}/sda/queue/nr_requests")
    assert Adaptenv().handle([present, absent, not_cat]) == [present]
    assert present.get == f"cat {tmp_path}/vdb/queue/nr_requests" and present.set == "echo $value > vdb"


def test_no_disk_at_all_drops_disk_items(machine, log_lines):
    machine.partitions(("tmpfs", "tmpfs"))
    assert Adaptenv().handle([item(name="queue.nr_requests", adapt=["disk"])]) == []
    assert log_lines() == [("DEBUG", "queue.nr_requests: no physical disk found, the entry is left out")]


def test_the_release_module_can_be_substituted_before_its_first_use(monkeypatch):
    import knobsmith.recommend as recommend

    monkeypatch.setattr(recommend, "platform", collections.namedtuple("Host", "release")(lambda: "5.10.0-qz10"))
    assert len(Adaptenv().handle([item(adapt=["version"], version="10")])) == 1


def test_memory_figures_are_read_once(machine, monkeypatch):
    machine.memory(8 * 2**30)
    calls = []
    monkeypatch.setattr(psutil, "virtual_memory", lambda: calls.append(1) or Memory(1, 1))
    assert SystemCollecter().get_memtotal() == 8 * 2**30
    assert SystemCollecter().get_memavailable() == 4 * 2**30
    assert calls == []
    SystemCollecter().memtotal = 1.5
    with pytest.raises(TypeError):
        SystemCollecter().get_memtotal()


# --- the database -------------------------------------------------------------------------------

ENTRY = "{name: 'n%s', desc: '', get: 'cat x', set: 'echo $value', needrestart: 'false', type: 'discrete', " \
        "dtype: 'int', scope: [1, 2], step: 1, items: [], options: [], level: 'low', version: '', adapt: []}"


def database(*identifiers):
    return "{" + ", ".join(f"'{ident}': " + ENTRY % index for index, ident in enumerate(identifiers)) + "}"


@pytest.mark.parametrize(
    "scene, names", [("cpu", ["n0", "n2"]), ("io", ["n0"]), ("mysql", ["n0", "n3"]), ("net", ["n1"])]
)
def test_scene_letters_select_entries_in_order(scene, names):
    db = Paramsdb()
    assert db.loaddb(database("CIM12", "N01", "C02", "M7", "c01")) is True
    assert [entry.name for entry in db.selectparams(scene)] == names


@pytest.mark.parametrize("scene", ["disk", "CPU", 5])
def test_unknown_scene(errors, scene):
    db = Paramsdb()
    db.loaddb(database("C01"))
    assert db.selectparams(scene) == []
    assert errors() == [f"Cannot parse scene [{scene}]. \n Select one from support scene lists: [cpu io net mysql]"]


@pytest.mark.parametrize(
    "text, loaded, line",
    [
        ("{}", False, None),
        ("{C01: {get: 'a; b'}}", True, None),
        ("{C01: 'fine', N02: 'rm x && rm y'}", False, "paramsdb 条目包含非法 shell 元字符: N02"),
        ("[1, 2]", False, "paramsdb 顶层应为字典，当前类型: list"),
        ("'text'", False, "paramsdb 顶层应为字典，当前类型: str"),
        ("null", False, "paramsdb 顶层应为字典，当前类型: NoneType"),
    ],
)
def test_loading_screens_the_document(errors, text, loaded, line):
    assert Paramsdb().loaddb(text) is loaded
    assert errors() == ([line] if line else [])


def test_invalid_json5_raises_and_keeps_the_earlier_dataset():
    db = Paramsdb()
    db.loaddb(database("C01"))
    before = db.dataset
    with pytest.raises(ValueError):
        db.loaddb("{broken")
    assert db.dataset is before


def test_an_incomplete_selected_entry_is_a_key_error():
    db = Paramsdb()
    db.loaddb("{C01: {name: 'x'}, N01: {name: 'y'}}")
    with pytest.raises(KeyError):
        db.selectparams("cpu")

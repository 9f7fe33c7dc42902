// SystemCollecter (this machine's memory) and Adaptenv (fitting database items to this machine).
#include <string>

#include "knobsmith_core/text.hpp"
#include "process_glue.hpp"
#include "recommend.hpp"

namespace knobsmith::recommend {

namespace {

// The disk-name script: run by /bin/sh -s with the partition's device as its argument. Disks
// whose name ends in a letter (sd, vd, xvd, hd) number their partitions directly (sda12); the
// others put a "p" before the number (nvme0n1p1, mmcblk0p2). A whole disk names itself; anything
// else (a device mapper path) gives an empty line.
constexpr char kShellContent[] = R"(
        partition_device="$1"
        disk_name=$(printf '%s\n' "$partition_device" | sed -nE 's/^\/dev\/((s|v|xv|h)d[a-z]+)[0-9]*$/\1/p')
    
        if [ -z "$disk_name" ]; then
            disk_name=$(printf '%s\n' "$partition_device" | sed -nE 's/^\/dev\/([a-zA-Z0-9]*[0-9])p[0-9]+$/\1/p')
        fi
        if [ -z "$disk_name" ]; then
            disk_name=$(printf '%s\n' "$partition_device" | sed -nE 's/^\/dev\/([a-zA-Z0-9]+)$/\1/p')
        fi

        echo "$disk_name"
        )";

constexpr const char* kVirtualFsTypes[] = {"tmpfs", "sysfs", "proc", "devtmpfs", "devpts", "overlay", "cgroup", "none"};
constexpr const char* kVirtualDevicePrefixes[] = {"/dev/loop", "/dev/cdrom", "/dev/sr"};

void debug(py::handle message) {
    glue::log("debug", message);
}

// --- SystemCollecter ---------------------------------------------------------------------------

void system_collecter_init(py::handle self) {
    py::object psutil = on_demand("psutil");
    self.attr("memavailable") = psutil.attr("virtual_memory")().attr("available");
    self.attr("memtotal") = on_demand("psutil").attr("virtual_memory")().attr("total");
}

py::object int_or_none(py::object value) {
    if (!value.is_none() && !glue::is_int(value)) {
        throw py::type_error("Expected int, got " + std::string(py::str(glue::type_name(value))));
    }
    return value;
}

// --- Adaptenv ----------------------------------------------------------------------------------

py::list handle(py::object self, py::object scene_list) {
    py::list result;
    for (py::handle entry : scene_list) {
        auto item = py::reinterpret_borrow<py::object>(entry);
        if (glue::truthy(item.attr("adapt"))) {
            item = self.attr("common")(item);
        }
        if (!glue::truthy(item.attr("is_del"))) {
            result.append(item);
        }
    }
    return result;
}

py::object common(py::object self, py::object item) {
    py::object adapt = item.attr("adapt");
    // Every step runs, even after an earlier one marked the item deleted.
    for (const auto& [tag, step] : {std::pair{"version", "compat_version"}, std::pair{"scope", "compat_scope"},
                                    std::pair{"disk", "compat_disk"}}) {
        if (glue::contains(adapt, tag)) {
            item = self.attr(step)(item);
        }
    }
    return item;
}

py::object compat_version(py::object /*self*/, py::object item) {
    py::object params_compatibility = item.attr("version");
    py::object release_str = on_demand("platform").attr("release")();
    py::object found = glue::global("re").attr("search")(R"(qz(\d+))", release_str);
    if (found.is_none()) {
        // Without the release number the entry's fit cannot be confirmed.
        debug(glue::concat(item.attr("name"), ": no qz number in release ", release_str, ", cannot confirm version ",
                           params_compatibility));
        item.attr("is_del") = true;
        return item;
    }
    py::object qz_number = found.attr("group")(1);
    if (!glue::contains(params_compatibility, qz_number)) {
        item.attr("is_del") = true;
    }
    return item;
}

py::object compat_scope(py::object self, py::object item) {
    py::object name = item.attr("name");
    if (glue::compare(name, py::str("innodb_buffer_pool_size"), Py_EQ)) {
        return self.attr("innodb_buffer_pool_size_scope")(item);
    }
    if (glue::compare(name, py::str("innodb_buffer_pool_instances"), Py_EQ)) {
        return self.attr("innodb_buffer_pool_instances_scope")(item);
    }
    return item;
}

py::object as_int(py::object number) {
    return glue::global("int")(number);
}

py::object innodb_buffer_pool_size_scope(py::object /*self*/, py::object item) {
    py::object mem = glue::global("SystemCollecter")().attr("get_memtotal")();
    py::list scope;
    scope.append(as_int(mem * py::float_(0.6)));
    scope.append(as_int(mem * py::float_(0.7)));
    item.attr("scope") = scope;
    return item;
}

py::object innodb_buffer_pool_instances_scope(py::object /*self*/, py::object item) {
    py::object mem = glue::global("SystemCollecter")().attr("get_memtotal")();
    py::object kib = py::int_(1024);
    py::object gib = mem / kib / kib / kib;
    py::object low = as_int(gib * py::float_(0.6));
    py::object high = as_int(gib * py::float_(0.7));
    if (glue::compare(low, high, Py_EQ)) {
        high = low + py::int_(1);
        py::object memtotal_gib = as_int(gib);
        if (glue::compare(high, memtotal_gib, Py_GT)) {
            debug(py::str("innodb_buffer_pool_instances scope invaild."));
            item.attr("is_del") = true;
        }
    }
    py::list scope;
    scope.append(low);
    scope.append(high);
    item.attr("scope") = scope;
    return item;
}

py::object compat_disk(py::object self, py::object item) {
    py::object disks = self.attr("get_all_disks")();
    if (!glue::truthy(disks)) {
        debug(glue::concat(item.attr("name"), ": no physical disk found, the entry is left out"));
        item.attr("is_del") = true;
        return item;
    }
    py::object disk = disks[py::int_(0)];
    py::object adapt_get = item.attr("get").attr("replace")("sda", disk);
    py::object adapt_set = item.attr("set").attr("replace")("sda", disk);
    item.attr("get") = adapt_get;
    item.attr("set") = adapt_set;
    py::object file_path = self.attr("get_file_path")(adapt_get);
    if (!glue::truthy(glue::global("os").attr("path").attr("exists")(file_path))) {
        item.attr("is_del") = true;
    }
    return item;
}

py::str get_file_path(py::object /*self*/, py::object cmd_str) {
    py::list parts = cmd_str.attr("strip")().attr("split")();
    if (py::len(parts) >= 2 && glue::compare(parts[0], py::str("cat"), Py_EQ)) {
        return py::str(" ").attr("join")(parts[py::slice(1, py::len(parts), 1)]);
    }
    return {""};
}

bool starts_with_any(py::handle text, const char* const* prefixes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (glue::truthy(text.attr("startswith")(prefixes[i]))) {
            return true;
        }
    }
    return false;
}

py::list get_all_disks(py::object self) {
    py::list virtual_fs_types;
    for (const char* type : kVirtualFsTypes) {
        virtual_fs_types.append(type);
    }
    py::object partitions = on_demand("psutil").attr("disk_partitions")(py::arg("all") = false);
    py::set disks;
    for (py::handle partition : partitions) {
        py::object device = partition.attr("device");
        if (!glue::truthy(device.attr("startswith")("/dev/")) ||
            glue::contains(virtual_fs_types, partition.attr("fstype")) ||
            starts_with_any(device, kVirtualDevicePrefixes, std::size(kVirtualDevicePrefixes))) {
            continue;
        }
        py::object disk_name = self.attr("get_disk_name_from_partition")(device);
        if (glue::truthy(disk_name)) {
            disks.add(disk_name);
        }
    }
    return glue::global("sorted")(disks);
}

py::str get_disk_name_from_partition(py::object /*self*/, py::object partition_device) {
    glue::require_exact_str(partition_device, "partition_device");
    const std::string script(kShellContent);
    const core::CommandOutput output = glue::run_program({"/bin/sh", "-s", glue::fs_bytes(partition_device)}, &script);
    return glue::decode_utf8(core::strip_ascii_whitespace(output.out));
}

}  // namespace

py::object make_system_collecter_class() {
    py::object cls = glue::new_class("SystemCollecter", "knobsmith.recommend",
                                     "This machine's memory figures, read once per process.");
    glue::def_init<&system_collecter_init>(cls, "Read the available and total memory, in bytes.");
    glue::def_method(
        cls, "get_memavailable", [](py::object self) { return int_or_none(self.attr("memavailable")); },
        "Available memory in bytes.");
    glue::def_method(
        cls, "get_memtotal", [](py::object self) { return int_or_none(self.attr("memtotal")); },
        "Total memory in bytes.");
    return glue::global("DecoratorWrap").attr("singleton")(cls);
}

py::object make_adaptenv_class() {
    py::object cls = glue::new_class("Adaptenv", "knobsmith.recommend",
                                     "Fits database items to this machine's release, memory and disks.");
    glue::def_method(cls, "handle", &handle, py::arg("scene_list"),
                     "Adapt the tagged items; return the items that suit this machine.");
    glue::def_method(cls, "common", &common, py::arg("item"), "检查item.adapt中的选项,返回检查修改后的item");
    glue::def_method(cls, "compat_version", &compat_version, py::arg("item"),
                     "检查item.version是否兼容当前系统场景，返回bool");
    glue::def_method(cls, "compat_scope", &compat_scope, py::arg("item"),
                     "Derive the range of a memory-sized parameter from this machine's memory.");
    glue::def_method(cls, "innodb_buffer_pool_size_scope", &innodb_buffer_pool_size_scope, py::arg("item"),
                     "60% to 70% of the memory, in bytes.");
    glue::def_method(cls, "innodb_buffer_pool_instances_scope", &innodb_buffer_pool_instances_scope, py::arg("item"),
                     "60% to 70% of the memory, in whole GiB.");
    glue::def_method(cls, "compat_disk", &compat_disk, py::arg("item"),
                     "Point a per-disk command at this machine's first disk; drop it when its file is missing.");
    glue::def_method(cls, "get_file_path", &get_file_path, py::arg("cmd_str"),
                     "The path that a \"cat <path>\" command reads, or the empty string.");
    glue::def_method(cls, "get_all_disks", &get_all_disks,
                     "通过psutil获取系统中所有物理磁盘名（去重、过滤虚拟分区）\n"
                     ":return: 磁盘名列表，如 ['sda', 'nvme0n1']");
    glue::def_method(cls, "get_disk_name_from_partition", &get_disk_name_from_partition, py::arg("partition_device"),
                     "从分区路径提取物理磁盘名\n"
                     ":param partition_device: 分区路径\n"
                     ":return: 磁盘名，提取失败时返回空字符串");
    return cls;
}

}  // namespace knobsmith::recommend

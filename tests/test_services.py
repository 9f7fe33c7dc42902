import os
import stat
import subprocess
import sys

import pytest

from common.config import Config
from common.decorator_wrap import DecoratorWrap
from common.file import open_trusted_dir, open_write_file
from common.log import Logger
from common.tool_cmd import ToolCmd
from set_config.set_script import SetScript


def test_logger_joins_parts_and_goes_through_logging(log_lines):
    Logger().error("write item failed, error item:", ["a", 1])
    Logger().debug("single")
    assert log_lines() == [("ERROR", "write item failed, error item: ['a', 1]"), ("DEBUG", "single")]


def test_logger_reaches_standard_error_when_the_host_configured_nothing():
    code = "from common.log import Logger; Logger().info('推荐', 1); Logger().debug('hidden'); Logger().error('x %s')"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert [line.split(" ", 2)[2] for line in lines] == ["INFO 推荐 1", "ERROR x %s"]
    assert all(line[:4].isdigit() and line[10] == " " for line in lines)


def test_singleton_constructs_once_per_class():
    built = []

    @DecoratorWrap.singleton
    class One:
        def __init__(self):
            built.append(self)

    @DecoratorWrap.singleton
    class Two:
        pass

    first = One()
    first.state = "kept"
    assert One() is first and One().state == "kept"
    assert len(built) == 1
    assert Two() is not first and Two() is Two()
    assert One.__name__ == "One" and One.__wrapped__.__name__ == "One"


@pytest.mark.parametrize(
    "path, name",
    [
        ("conf/demo.yaml", "demo"),
        ("demo", "demo"),
        ("/etc/tune/mysql.prod.yml", "mysql.prod"),
        # An altered name carries a hash of the original; these are the names of files kept on disk,
        # so they must not change from one version to the next.
        ("conf/my tuning (v2).yaml", "my_tuning__v2_-508627c7"),
        ("conf/;rm -rf.yaml", "_rm_-rf-c8eb8288"),
        ("a b;c.yaml", "a_b_c-ddb90c96"),
        ("a_b_c.yaml", "a_b_c"),
        ("conf/", "conf"),
        ("", "default"),
        ("/", "default"),
        ("调优.yaml", "调优"),
    ],
)
def test_project_name_from_path(path, name):
    assert ToolCmd().parse_projectname(path) == name


def test_project_name_of_an_existing_directory_keeps_its_dots(tmp_path):
    folder = tmp_path / "tuning.d"
    folder.mkdir()
    assert ToolCmd().parse_projectname(str(folder)) == "tuning.d"


def test_install_and_output_paths(monkeypatch, tmp_path):
    install = Config().get_inst_path()
    assert os.path.isfile(install + "/knobsmith/__init__.py")
    monkeypatch.setenv("KNOBSMITH_OUTPUT_DIR", str(tmp_path))
    assert Config().get_output_path() == str(tmp_path) + "/"
    monkeypatch.delenv("KNOBSMITH_OUTPUT_DIR")
    monkeypatch.chdir(tmp_path)
    assert Config().get_output_path() == str(tmp_path) + "/"


@pytest.mark.parametrize("mode, trusted", [(0o700, True), (0o755, True), (0o1777, True), (0o777, False), (0o770, False)])
def test_trusted_directory_by_mode(tmp_path, mode, trusted):
    folder = tmp_path / "out"
    folder.mkdir()
    folder.chmod(mode)
    if trusted:
        fd = open_trusted_dir(str(folder))
        assert stat.S_ISDIR(os.fstat(fd).st_mode)
        os.close(fd)
    else:
        with pytest.raises(OSError):
            open_trusted_dir(str(folder))


def test_trusted_directory_refuses_a_link_and_a_strangers_folder(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    link = tmp_path / "link"
    link.symlink_to(real)
    with pytest.raises(OSError):
        open_trusted_dir(str(link))
    if os.geteuid() == 0:
        os.chown(real, 54321, 54321)
        with pytest.raises(OSError):
            open_trusted_dir(str(real))


def test_write_file_has_exactly_the_mode_asked_for(tmp_path):
    target = tmp_path / "config.yaml"
    target.write_text("old content that must go")
    target.chmod(0o644)
    fd_dir = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fd = open_write_file(fd_dir, "config.yaml", mode=384)
        os.write(fd, b"new")
        os.close(fd)
        fresh = open_write_file(fd_dir, "fresh.yaml")
        os.close(fresh)
    finally:
        os.close(fd_dir)
    assert target.read_bytes() == b"new"
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    assert stat.S_IMODE((tmp_path / "fresh.yaml").stat().st_mode) == 0o600


@pytest.mark.parametrize("name", ["link.yaml", "sub/config.yaml", "..", ""])
def test_write_file_refuses_links_and_paths(tmp_path, name):
    victim = tmp_path / "victim"
    victim.write_text("precious")
    (tmp_path / "link.yaml").symlink_to(victim)
    (tmp_path / "sub").mkdir()
    fd_dir = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        with pytest.raises(OSError):
            open_write_file(fd_dir, name)
    finally:
        os.close(fd_dir)
    assert victim.read_text() == "precious"
    assert not (tmp_path / "sub" / "config.yaml").exists()


def test_database_text_is_read_as_utf8(tmp_path):
    path = tmp_path / "db.json5"
    path.write_text("{a: '调优'}", encoding="utf-8")
    assert SetScript().de_file(str(path)) == "{a: '调优'}"

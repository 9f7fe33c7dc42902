import os
import stat

import pytest
import yaml
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import knobsmith.recommend as recommend
from knobsmith.recommend import ParamsItem, Recoyamlfile

HEADER = (
    "iterations: 5 #填写迭代次数\n"
    "timeout: #填写调优时长，选填\n"
    'benchmark: "" #填写\n'
    'startworkload: "" #填写\n'
    'stopworkload: "" #填写\n'
    "\n"
    "evaluations:\n"
    "- \n"
    '  name: "" #填写\n'
    "  info:\n"
    '    get: "" #填写\n'
    '    type: "" #填写\n'
    '    target: "" #选填\n'
    "\n"
    "object:\n"
)


def item(name="p", type="continuous", dtype="int", scope=(10, 20), **fields):
    entry = {
        "name": name, "desc": "d", "get": "cat g", "set": "echo $value", "needrestart": "false", "type": type,
        "dtype": dtype, "scope": list(scope), "step": 2, "items": [], "options": [], "level": "low",
        "version": "", "adapt": [],
    }
    entry.update(fields)
    return ParamsItem(entry)


def lines_of(name, kind, dtype):
    return (
        f'- \n  name: "{name}"\n  info:\n    desc: "d"\n    get: "cat g"\n    set: "echo $value"\n'
        f'    needrestart: "false"\n    type: "{kind}"\n'
    ), f'    dtype: "{dtype}"\n'


def test_an_empty_list_gives_the_header(output, log_lines):
    assert Recoyamlfile().writefile([]) is True
    assert (output / "config.yaml").read_text(encoding="utf-8") == HEADER
    assert stat.S_IMODE((output / "config.yaml").stat().st_mode) == 0o600
    assert log_lines() == [("INFO", f"推荐报告输出路径: {output}/config.yaml")]


def test_each_kind_of_item(output):
    items = [
        item("c", "continuous", "int", scope=(10, 20)),
        item("d", "discrete", "float", scope=(0.5, 1.5), items=[1, 2]),
        item("s", "discrete", "string", options=["a", "b"], scope=()),
        item("x", "discrete", "bool"),
    ]
    assert Recoyamlfile().writefile(items) is True
    head_c, tail_c = lines_of("c", "continuous", "int")
    head_d, tail_d = lines_of("d", "discrete", "float")
    head_s, tail_s = lines_of("s", "discrete", "string")
    head_x, tail_x = lines_of("x", "discrete", "bool")
    assert (output / "config.yaml").read_text(encoding="utf-8") == (
        HEADER
        + head_c + "    scope:\n    - 10\n    - 20\n    items: []\n" + tail_c
        + head_d + "    scope:\n    - 0.5\n    - 1.5\n    items: [1, 2]\n    step: 2\n" + tail_d
        + head_s + '    options:\n    - "a"\n    - "b"\n' + tail_s
        + head_x + tail_x
    )


def test_a_short_scope_fails_the_item_and_keeps_what_was_written(output, log_lines):
    good = item("good")
    bad = item("bad", scope=(5,))
    assert Recoyamlfile().writefile([good, bad, item("never")]) is False
    text = (output / "config.yaml").read_text(encoding="utf-8")
    assert text.startswith(HEADER + lines_of("good", "continuous", "int")[0])
    assert text.endswith('  name: "bad"\n  info:\n    desc: "d"\n    get: "cat g"\n    set: "echo $value"\n'
                         '    needrestart: "false"\n    type: "continuous"\n    scope:\n    - 5\n')
    assert "never" not in text
    assert log_lines()[-2:] == [("ERROR", "write item failed: bad"), ("DEBUG", f"write item failed, error item: {bad}")]


def test_the_file_is_always_asked_for_mode_600_and_the_folder_is_closed(output, monkeypatch):
    asked = []
    real = recommend.open_write_file

    def recording(dir_fd, name, mode=0o644):
        asked.append((name, mode))
        return real(dir_fd, name, mode=mode)

    monkeypatch.setattr(recommend, "open_write_file", recording)
    before = sorted(os.listdir("/proc/self/fd"))
    assert Recoyamlfile().writefile([item()]) is True
    assert asked == [("config.yaml", 384)]
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_an_untrusted_or_missing_folder_is_a_write_error(tmp_path, monkeypatch, errors):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o777)
    before = sorted(os.listdir("/proc/self/fd"))
    for folder in (shared, tmp_path / "absent"):
        monkeypatch.setenv("KNOBSMITH_OUTPUT_DIR", str(folder))
        assert Recoyamlfile().writefile([item()]) is False
    assert errors() == ["write file error.", "write file error."]
    assert not (shared / "config.yaml").exists()
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_a_failed_file_open_still_closes_the_folder(output, monkeypatch, errors):
    def refuse(dir_fd, name, mode=0o600):
        raise PermissionError(13, "Permission denied", name)

    monkeypatch.setattr(recommend, "open_write_file", refuse)
    before = sorted(os.listdir("/proc/self/fd"))
    assert Recoyamlfile().writefile([item()]) is False
    assert errors() == ["write file error."]
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_a_field_that_is_not_text_propagates(output):
    broken = item(options=["a", 1], type="discrete", dtype="string")
    before = sorted(os.listdir("/proc/self/fd"))
    with pytest.raises(TypeError):
        Recoyamlfile().writefile([broken])
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_private_scope_writer_uses_the_objects_indent(output, tmp_path):
    writer = Recoyamlfile()
    writer.b4 = ">>"
    path = tmp_path / "scope.txt"
    with open(path, "w", encoding="utf-8") as stream:
        writer._Recoyamlfile__write_scope(stream, item(scope=(1, 2), items=["x"]))
    assert path.read_text() == ">>scope:\n>>- 1\n>>- 2\n>>items: ['x']\n"


# Text that YAML must be told about: quotes, backslashes, line breaks, controls, odd code points.
awkward = st.text(
    alphabet=st.one_of(
        st.sampled_from(list('"\\\n\r\t\x00\x1b\x7f\x85\x9f\u2028\u2029\ufeff\ufffe\uffff\ud800#: -\'%$')),
        st.characters(),
    ),
    max_size=20,
)


def written_and_read_back(output, name, desc, get, set, option):
    written = [item(name=name, desc=desc, get=get, set=set), item(type="discrete", dtype="string", options=[option])]
    assert Recoyamlfile().writefile(written) is True
    with open(output / "config.yaml", encoding="utf-8") as stream:
        loaded = yaml.load(stream, Loader=yaml.FullLoader)
    first, second = loaded["object"]
    assert first["name"] == name
    assert (first["info"]["desc"], first["info"]["get"], first["info"]["set"]) == (desc, get, set)
    assert second["info"]["options"] == [option]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=awkward, desc=awkward, get=awkward, set=awkward, option=awkward)
def test_every_written_text_reads_back_as_it_was(output, name, desc, get, set, option):
    written_and_read_back(output, name, desc, get, set, option)


@pytest.mark.slow
@settings(max_examples=5_000, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=awkward, desc=awkward, get=awkward, set=awkward, option=awkward)
def test_every_written_text_reads_back_as_it_was_at_length(output, name, desc, get, set, option):
    written_and_read_back(output, name, desc, get, set, option)


def test_plain_text_is_written_exactly(output):
    assert Recoyamlfile().writefile([item(desc="a 'plain' description: 100%")]) is True
    assert '    desc: "a \'plain\' description: 100%"\n' in (output / "config.yaml").read_text(encoding="utf-8")

"""The library's messages in the user's language: every one the library can write is in the
catalog, English by default, the original text in a Chinese locale."""

import gettext
import pathlib
import re
import subprocess
import sys

import pytest
import yaml

from knobsmith import catalog, cli, messages

ROOT = pathlib.Path(__file__).parent.parent
PO = ROOT / "src" / "knobsmith" / "locale" / "en" / "LC_MESSAGES" / "knobsmith.po"
CJK = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]+")
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
# Docstrings of the compiled classes and methods, not messages.
DEFINITION = re.compile(r"def_\w+\(|is_method")
DOCSTRING = re.compile("获取|设置|标记为|添加|移除|检查item|通过|从分区|:return|:param")
LOG_CALL = re.compile(r"glue::log|log_error\(|\bdebug\(")
LEVELS = {"error", "warning", "info", "debug", "replace"}


def library_texts():
    """(where, text) of every piece of message text in the library's sources: the Chinese runs of
    its literals, the template's comments, and the literals of its log calls."""
    sources = [*sorted((ROOT / "cpp" / "modules").glob("*/*.cpp")),
               *sorted((ROOT / "src").glob("*/**/*.py"))]
    for source in sources:
        for number, line in enumerate(source.read_text(encoding="utf-8").splitlines(), 1):
            if line.lstrip().startswith(("//", "#")) or DEFINITION.search(line):
                continue
            for literal in LITERAL.findall(line):
                if DOCSTRING.match(literal):
                    continue
                where = f"{source.relative_to(ROOT)}:{number}"
                for run in CJK.findall(literal):
                    yield where, run
                if (source.suffix == ".cpp" and LOG_CALL.search(line) and literal.strip() not in LEVELS
                        and not CJK.search(literal)):
                    yield where, literal.strip()


def test_every_text_of_the_library_is_a_catalog_template():
    templates = messages.entries()
    missing = [f"{where}: {text}" for where, text in library_texts()
               if not any(text in template for template in templates)]
    assert not missing
    assert len(list(library_texts())) > 80  # the scan found the sources


def sample(template):
    """A message as the library writes it from `template`."""
    parts = {"field": "objects[p1].needrestart", "type": "bool", "pytype": "<class 'str'>", "value": "16",
             "pattern": "re.compile('[;!`\\\\n]')", "kind": "discrete", "key": "scope"}
    return re.sub(r"\{(\w+)\}", lambda wanted: parts.get(wanted.group(1), "x1"), template)


@pytest.mark.parametrize("template", sorted(catalog.read_po(str(PO))))
def test_every_message_renders_in_both_languages(template, monkeypatch):
    messages.about(None)
    message = sample(template)
    assert messages.template(message)[0] == messages.entries()[template]  # no looser template takes it
    english = messages.render(message)
    assert english and not CJK.search(english) and english != message
    assert not re.search(r"<class|re\.compile|\{\w+\}|objects\[|'object-", english), english
    monkeypatch.setenv("LC_ALL", "zh_CN.UTF-8")
    assert messages.render(message) == message


def test_the_compiled_catalog_is_what_gettext_reads(tmp_path):
    compiled = tmp_path / "knobsmith.mo"
    subprocess.run([sys.executable, str(ROOT / "src" / "knobsmith" / "catalog.py"), str(PO), str(compiled)], check=True)
    entries = catalog.read_po(str(PO))
    with open(compiled, "rb") as stream:
        translations = gettext.GNUTranslations(stream)
    assert {template: translations.gettext(template) for template in entries} == entries
    assert catalog.read_mo(str(compiled)) == entries


@pytest.mark.parametrize("environment, chinese", [
    ({"LC_ALL": "zh_CN.UTF-8", "LANG": "en_US.UTF-8"}, True),
    ({"LC_ALL": "C.UTF-8", "LC_MESSAGES": "zh_CN.UTF-8"}, False),
    ({"LC_ALL": "", "LC_MESSAGES": "zh_TW", "LANG": "C"}, True),
    ({"LANG": "zh_CN.UTF-8"}, True),
    ({}, False),
])
def test_the_first_locale_variable_set_chooses(monkeypatch, environment, chinese):
    for name in ("LC_ALL", "LC_MESSAGES", "LANG"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environment.items():
        monkeypatch.setenv(name, value)
    assert messages.chinese() == chinese


def _drop(key):
    return lambda config: config["object"][0]["info"].pop(key)


@pytest.mark.parametrize("edit, line", [
    ({"needrestart": True}, 'object[x].info.needrestart must be a string, found a boolean (true); quote it: "true"'),
    ({"step": "2"}, "object[x].info.step must be a number, found a string (2); write it without quotes: 2"),
    ({"get": "cat x; ls"}, "object[x].info.get holds a shell metacharacter; leave out ; ! ` line breaks && || $( "
                           "and ${"),
    ({"type": "discret"}, 'object[x].info.type must be "continuous" or "discrete", found discret'),
    (_drop("needrestart"), "object[x].info.needrestart is missing; it is required"),
    (_drop("step"), "object[x].info.step is missing; a parameter of int/float dtype needs it"),
    (lambda config: config.pop("iterations"), "iterations is missing; it is required"),
    (lambda config: config["object"][1].update(name=7),
     'object[1].name must be a string, found a whole number (7); quote it: "7"'),
])
def test_a_faulty_field_is_named_one_way_with_the_value_found(knob_workload, monkeypatch, capsys, edit, line):
    folder = knob_workload()
    config = yaml.safe_load((folder / "tune.yaml").read_text())
    config["object"][0]["info"].update(edit) if isinstance(edit, dict) else edit(config)
    (folder / "tune.yaml").write_text(yaml.safe_dump(config, sort_keys=False))
    monkeypatch.chdir(folder)
    assert cli.main(["check", "tune.yaml"]) == 1
    assert capsys.readouterr().err.splitlines()[0] == f"ERROR {line}"


def test_the_recommended_header_speaks_the_users_language(tmp_path, monkeypatch):
    from knobsmith.recommending import notes

    path = tmp_path / "config.yaml"
    original = 'iterations: 5 #填写迭代次数\nbenchmark: "" #填写\n  desc: "a#b"\n'
    for locale, header in (("C.UTF-8", 'iterations: 5 # the number of trials\nbenchmark: "" # fill in\n'),
                           ("zh_CN.UTF-8", 'iterations: 5 #填写迭代次数\nbenchmark: "" #填写\n')):
        monkeypatch.setenv("LC_ALL", locale)
        path.write_text(original, encoding="utf-8")
        notes.prepend(str(path), "# notes\n")
        assert path.read_text(encoding="utf-8") == f'# notes\n{header}  desc: "a#b"\n'

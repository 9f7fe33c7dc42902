"""A configuration that is not YAML is refused with the place where it breaks, after the reader's own lines."""

import pytest
import yaml

from knobsmith import cli

FAILED = "knobsmith: tune.yaml cannot be used (see the lines above)"


@pytest.fixture(autouse=True)
def original_lines(english, monkeypatch):
    """The reader's lines as it writes them: what a Chinese locale shows."""
    monkeypatch.setenv("LC_ALL", "zh_CN.UTF-8")


def check(folder, monkeypatch, capsys, content):
    """Runs `knobsmith check tune.yaml` on `content` (text is written as is, bytes too)."""
    path = folder / "tune.yaml"
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    monkeypatch.chdir(folder)
    status = cli.main(["check", "tune.yaml"])
    out, err = capsys.readouterr()
    assert (status, out) == (1, "")
    return err.splitlines()


def reader_lines(text):
    """What the configuration reader logs for `text`: the scanner's own message, or its bare line."""
    try:
        yaml.load(text.replace("\r\n", "\n"), Loader=yaml.FullLoader)
    except yaml.scanner.ScannerError as error:
        return f"ERROR Yaml format error: {error}".splitlines()
    except yaml.YAMLError:
        return ["ERROR Yaml  error"]
    raise AssertionError("the text parses")


@pytest.mark.parametrize(
    "text, where",
    [
        ("a: 1\n  b: 2\n", "line 2, column 4: mapping values are not allowed here"),
        ("a: 1\r\nb: 2\r\n  c: 3\r\n", "line 3, column 4: mapping values are not allowed here"),
        ("名前: 値\n  b: 2\n", "line 2, column 4: mapping values are not allowed here"),
        ('a: "open\n',
         "line 2, column 1: found unexpected end of stream (while scanning a quoted scalar at line 1, column 4)"),
        ("a:\n\tb: 1\n",
         "line 2, column 1: found character '\\t' that cannot start any token (while scanning for the next token)"),
        ("a:\n  b: 1\n c: 2\n", "line 3, column 2: expected <block end>, but found '<block mapping start>' "
                                 "(while parsing a block mapping at line 1, column 1)"),
        ("a: [1, 2\nb: 3\n",
         "line 2, column 2: expected ',' or ']', but got ':' (while parsing a flow sequence at line 1, column 4)"),
        ("a: &x 1\nb: &x 2\n",
         "line 2, column 4: second occurrence (found duplicate anchor 'x'; first occurrence at line 1, column 4)"),
        ("a: 1\n---\nb: 2\n",
         "line 2, column 1: but found another document (expected a single document in the stream at line 1, column 1)"),
        ("a: !!python/object/apply:os.system [ls]\n",
         "line 1, column 4: could not determine a constructor for the tag "
         "'tag:yaml.org,2002:python/object/apply:os.system'"),
    ],
    ids=["indent", "crlf", "wide-characters", "unclosed-quote", "tab", "block-end", "unclosed-bracket",
         "duplicate-anchor", "two-documents", "unsafe-tag"],
)
def test_the_place_follows_the_readers_unchanged_lines(tmp_path, monkeypatch, capsys, text, where):
    assert check(tmp_path, monkeypatch, capsys, text) == [*reader_lines(text), f"knobsmith: tune.yaml {where}", FAILED]


@pytest.mark.parametrize(
    "content, where",
    [
        (b"a: 1\nb: \xff\xfe\n", "line 2, column 4: not UTF-8 text (invalid start byte)"),
        (b"a: 1\r\nb: \xc3\xa9\xe2\x82\n", "line 2, column 5: not UTF-8 text (invalid continuation byte)"),
        ("a: 1\nb: x\x01\n", "line 2, column 5: unacceptable character #x0001: special characters are not allowed"),
    ],
    ids=["bad-byte", "cut-sequence", "control-character"],
)
def test_text_the_parser_never_sees_is_placed_too(tmp_path, monkeypatch, capsys, content, where):
    lines = check(tmp_path, monkeypatch, capsys, content)
    assert lines == ["ERROR Yaml  error", f"knobsmith: tune.yaml {where}", FAILED]


@pytest.mark.parametrize(
    "content, reader_line",
    [
        ("iterations: 0\n", "ERROR iterations应大于0，当前值: 0"),
        ("", "ERROR Yaml  error"),
        ("{}\n", "ERROR Yaml  error"),
    ],
    ids=["invalid-configuration", "empty", "empty-mapping"],
)
def test_yaml_that_parses_gets_no_place(tmp_path, monkeypatch, capsys, content, reader_line):
    lines = check(tmp_path, monkeypatch, capsys, content)
    assert lines[0] == reader_line and lines[-1] == FAILED
    assert not [line for line in lines[:-1] if line.startswith("knobsmith:")]


@pytest.mark.parametrize("make, reader_line", [
    (lambda folder: None, "ERROR File not found: tune.yaml"),
    (lambda folder: (folder / "tune.yaml").mkdir(), "ERROR Is a directory: tune.yaml"),
], ids=["missing", "directory"])
def test_a_file_that_cannot_be_read_gets_no_place(tmp_path, monkeypatch, capsys, make, reader_line):
    make(tmp_path)
    monkeypatch.chdir(tmp_path)
    assert cli.main(["check", "tune.yaml"]) == 1
    assert capsys.readouterr().err.splitlines() == [reader_line, FAILED]


@pytest.mark.parametrize("content, line", [
    ("a: 1\n  b: 2\n", "tune.yaml line 2, column 4: mapping values are not allowed here"),
    (b"a: 1\nb: \xff\xfe\n", "tune.yaml line 2, column 4: not UTF-8 text (invalid start byte)"),
    ("", "tune.yaml: the file is empty"),
    ("# only a comment\n", "tune.yaml: the file is empty"),
    ("{}\n", "tune.yaml: the file holds no settings, only {}"),
    ("iterations: 0\n", "iterations must be above 0, found 0"),
    (None, "tune.yaml does not exist"),
])
def test_in_english_the_readers_line_says_what_and_where(tmp_path, monkeypatch, capsys, content, line):
    monkeypatch.setenv("LC_ALL", "C.UTF-8")
    if content is None:
        monkeypatch.chdir(tmp_path)
        assert cli.main(["check", "tune.yaml"]) == 1
        lines = capsys.readouterr().err.splitlines()
    else:
        lines = check(tmp_path, monkeypatch, capsys, content)
    assert lines == [f"ERROR {line}", FAILED]

"""The C++ matcher behind the shell-metacharacter rule agrees with the published pattern."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import knobsmith.vetplan as vetplan
from knobsmith.params.shellsafe import breaks_shell_rule
from knobsmith.vetplan import Vetplan

PATTERN = re.compile(r"[;!`\n]|&&|\|\||\$\(|\$\{")

# Mostly the characters the rule is about, with everything else mixed in.
commands = st.text(
    alphabet=st.one_of(st.sampled_from(list(";!`\n\r\t&|${}()<> \\'\"a0")), st.characters()),
    max_size=40,
)


def test_the_published_pattern_is_the_rule():
    assert Vetplan.SHELL_METACHARACTERS.pattern == PATTERN.pattern
    assert Vetplan.SHELL_METACHARACTERS.flags == PATTERN.flags


@settings(max_examples=1000, deadline=None)
@given(commands)
def test_matcher_agrees_with_the_pattern(command):
    assert Vetplan.check_shell_metacharacters(command, "f") is (PATTERN.search(command) is None)
    # The rule restore and the workload check before anything runs is the applier's own.
    assert breaks_shell_rule(command) is (PATTERN.search(command) is not None or "\0" in command)


class Silent:
    def error(self, message):
        pass


@pytest.mark.slow
@settings(max_examples=100_000, deadline=None)
@given(commands)
def test_matcher_agrees_with_the_pattern_at_length(command):
    saved, vetplan.Logger = vetplan.Logger, Silent
    try:
        assert Vetplan.check_shell_metacharacters(command, "f") is (PATTERN.search(command) is None)
    finally:
        vetplan.Logger = saved

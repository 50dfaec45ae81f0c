"""What the peer comparisons of patchctl share: the environment they run tools in and the failure tally."""
import os

ENV = dict(os.environ, LC_ALL="C.UTF-8")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def in_cp1252(text):
    """Whether Windows-1252 holds every character, so the launcher shows the name unchanged."""
    try:
        text.encode("cp1252")
        return True
    except UnicodeEncodeError:
        return False

"""knobsmith dashboard over real studies, its pages rendered by headless Chromium as a person's
browser would show them."""

import contextlib
import html
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import urllib.error
import urllib.request

import pytest
import yaml

from knobsmith.cli import main

HERE = str(pathlib.Path(__file__).resolve().parent)
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from postgres_server import private_server, require_postgres  # noqa: E402
from private_servers import require  # noqa: E402

SCRIPT = str(pathlib.Path(sys.executable).parent / "knobsmith")
FAILS_IN_MODE_C = 'if [ "$(cat mode)" = c ]; then echo "mode c is broken" >&2; exit 1; fi\n'


def chromium():
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    require(None if found else "the dashboard's tests need headless Chromium (Debian: apt-get install chromium)")
    return found


def rendered(url, profile):
    """The text of the page at `url` once headless Chromium has run its scripts, without markup."""
    done = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={profile}",
                           "--virtual-time-budget=4000", "--dump-dom", url],
                          capture_output=True, text=True, timeout=120, check=True)
    text = re.sub(r"<(style|script|svg)\b.*?</\1>", " ", done.stdout, flags=re.S)
    return re.sub(r"\s+", " ", html.unescape(re.sub(r"<[^>]+>", " ", text)))


@contextlib.contextmanager
def dashboard(*args):
    """A running `knobsmith dashboard`; yields the two addresses its first line gives."""
    with subprocess.Popen([SCRIPT, "dashboard", *args, "--port", "0"], stderr=subprocess.PIPE, text=True) as process:
        try:
            line = process.stderr.readline()
            found = re.findall(r"http://\S+?(?=[ ;]|$)", line)
            assert len(found) == 2, line + process.stderr.read()
            yield found
        finally:
            process.send_signal(signal.SIGINT)
            assert process.wait(timeout=30) == 0


def tune(folder, *args):
    done = subprocess.run([SCRIPT, "tune", "tune.yaml", *args], cwd=folder,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


def test_a_live_study_its_trials_best_and_failures_in_the_browser(knob_workload, tmp_path):
    chromium()
    folder = knob_workload(iterations=4, prelude=FAILS_IN_MODE_C)
    tune(folder, "--report", "report", "--repeats", "2")
    with dashboard(str(folder / "report")) as (optuna_page, own_page):
        # The run goes on while the dashboard shows it.
        config = yaml.safe_load((folder / "tune.yaml").read_text())
        (folder / "tune.yaml").write_text(yaml.safe_dump({**config, "iterations": 7}))
        tune(folder, "--report", "report", "--repeats", "2", "--resume", "--confirm", "2")
        summary = yaml.safe_load((folder / "report" / "best.yaml").read_text())
        listed = rendered(optuna_page + "/trials", tmp_path / "profile")
        assert all(f"Trial {number} " in listed for number in range(7)), listed
        assert "Best Trial" in listed
        own = rendered(own_page, tmp_path / "profile")
        with pytest.raises(urllib.error.HTTPError) as refused:  # the record of the run is not the viewer's to change
            urllib.request.urlopen(urllib.request.Request(optuna_page.replace("/dashboard/", "/api/"),
                                                          method="DELETE"))
        refused.value.close()
        assert refused.value.code == 405
    assert f"best: trial {summary['best_trial']}, score = {summary['best']:g} (confirmed)" in own, own
    assert f"verdict: {summary['verdict']}" in own
    assert re.search(r"baseline score = 51, its band 51 to 51 over 2 runs", own)
    failed = [line for line in (folder / "report" / "trials.csv").read_text().splitlines() if ",FAIL," in line]
    assert failed and "mode c is broken" in own and "Failures" in own


def test_a_fleets_trials_per_worker(knob_workload, tmp_path):
    require_postgres()
    chromium()
    with private_server() as url:
        for worker in ("w1", "w2"):
            folder = knob_workload(tmp_path / worker, iterations=4)
            tune(folder, "--storage", url, "--study", "s", "--worker", worker)
        with dashboard("--storage", url) as (_, own_page):
            own = rendered(own_page, tmp_path / "profile")
    for worker in ("w1", "w2"):
        assert re.search(rf"{worker} \S+ 51 (\d+) ", own), own
    assert re.search(r"trial worker state", own)


@pytest.mark.parametrize(("args", "blocked", "status", "said"), [
    (["dashboard", "nowhere"], False, 1, "nowhere is neither a report folder of knobsmith tune"),
    (["dashboard", "nowhere"], True, 2, "pip install 'knobsmith[dashboard]'"),
    (["dashboard"], False, 1, "give a report folder or a journal file, or --storage URL"),
])
def test_a_dashboard_that_cannot_start_says_why(tmp_path, monkeypatch, capsys, args, blocked, status, said):
    monkeypatch.chdir(tmp_path)
    if blocked:
        monkeypatch.setitem(sys.modules, "optuna_dashboard", None)
    assert main(args) == status
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and said in lines[0], lines


@pytest.mark.parametrize(("beyond_noise", "out_of_bound", "best"), [
    (True, "", "best: trial 0, score = 70 (confirmed)"), (None, "", None),
    (True, "latency 9 breaks its bound (max 5)", None)])
def test_a_confirmation_cut_short_gives_no_best_as_the_run_said(beyond_noise, out_of_bound, best):
    import optuna

    from knobsmith.dashboard import result_of
    from knobsmith.tuner.report import best_lines

    study = optuna.create_study(direction="maximize")
    study.set_user_attr("baseline", 50.0)
    study.add_trial(optuna.trial.create_trial(params={"x": 1}, value=60.0,
                                              distributions={"x": optuna.distributions.IntDistribution(0, 5)}))
    summary = {"metric": "score", "beyond_noise": beyond_noise,
               "confirmation": [{"label": "baseline", "measurements": [50.0]},
                                {"label": "trial 0", "trial": 0, "values": {"x": 1}, "measurements": [70.0],
                                 "out_of_bound": out_of_bound}]}
    said = [line for line in best_lines(result_of(study, summary)) if line.startswith("best:")]
    assert (len(said) == 1 and said[0].startswith(best)) if best else not said, said


def test_a_pareto_studys_page_gives_its_front():
    import optuna

    from knobsmith.dashboard import result_of
    from knobsmith.tuner.report import best_lines

    study = optuna.create_study(directions=["maximize", "minimize"])
    study.add_trial(optuna.trial.create_trial(params={"x": 1}, values=[60.0, 3.0],
                                              user_attrs={"others": {"lat": [3.0]}},
                                              distributions={"x": optuna.distributions.IntDistribution(0, 5)}))
    result = result_of(study, {"metric": "score", "objectives": {"score": "maximize", "lat": "minimize"}})
    assert best_lines(result) == ["Pareto front of score (larger is better), lat (smaller is better): 1 trial",
                                  "  trial 0: score 60, lat 3; x=1"]

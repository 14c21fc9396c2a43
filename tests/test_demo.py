"""The package's command line demo: python -m vexil [table.csv]."""

import os
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("vexil.pure.quadra")

LABELS = ["Mean", "Stdev", "Quantile  0.025", "Quantile  0.25", "Quantile  0.5", "Quantile  0.75",
          "Quantile  0.975", "Mode"]


def run(*args, cwd=None):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-m", "vexil", *args], capture_output=True, text=True, cwd=cwd,
                          env=env, timeout=120)


def summaries(stdout):
    """The printed summaries, as lists of (label, value)."""
    blocks, current = [], []
    for line in stdout.splitlines():
        label, value = line[:16].strip(), line[16:]
        if label in LABELS:
            current.append((label, float(value)))
            if label == "Mode":
                blocks.append(current)
                current = []
    return blocks


def test_default_demo_summarises_a_gamma_posterior():
    done = run()
    assert done.returncode == 0, done.stderr
    first, transformed = summaries(done.stdout)
    assert [label for label, _ in first] == LABELS
    values = dict(first)
    # gamma(3, 2): mean 1.5, sd sqrt(3)/2, median 1.3370, mode 1.0 (a 75-point table allows a few percent)
    assert values["Mean"] == pytest.approx(1.5, rel=1e-2)
    assert values["Stdev"] == pytest.approx(3 ** 0.5 / 2, rel=2e-2)
    assert values["Quantile  0.5"] == pytest.approx(1.33703, rel=1e-2)
    assert values["Mode"] == pytest.approx(1.0, abs=0.06)
    hpd = [line for line in done.stdout.splitlines() if line.startswith("HPD 0.95")]
    low, high = (float(v) for v in hpd[0].split("[")[1].rstrip("]").split(","))
    assert 0.0 < low < values["Mode"] < high < values["Quantile  0.975"] + 0.5
    # 1/sqrt(X) reverses the order of X: its median is 1/sqrt of X's median
    assert dict(transformed)["Quantile  0.5"] == pytest.approx(values["Quantile  0.5"] ** -0.5, rel=1e-2)


def test_reads_a_users_csv_table(tmp_path):
    x = np.linspace(-5, 5, 61)
    table = tmp_path / "m.csv"
    table.write_text("x,y\n" + "".join(f"{float(a)!r},{float(np.exp(-0.5 * a * a))!r}\n" for a in x))
    done = run(str(table), "--level", "0.5")
    assert done.returncode == 0, done.stderr
    (block,) = summaries(done.stdout)  # x takes negative values: no 1/sqrt transform
    values = dict(block)
    assert values["Mean"] == pytest.approx(0.0, abs=1e-6)
    assert values["Stdev"] == pytest.approx(1.0, rel=1e-3)
    hpd = [line for line in done.stdout.splitlines() if line.startswith("HPD 0.5")][0]
    low, high = (float(v) for v in hpd.split("[")[1].rstrip("]").split(","))
    assert low == pytest.approx(-0.6745, abs=1e-2) and high == pytest.approx(0.6745, abs=1e-2)


@pytest.mark.parametrize("content, message", [
    ("x,y\n1,2\n", "need at least 3 rows"),
    ("1,2\n2,oops\n3,4\n", "not a number"),
    ("x,y\nfoo,bar\n1,2\n2,3\n3,4\n", "not a number"),
    ("1\n2\n3\n", "expected two columns"),
])
def test_bad_tables_are_refused_with_a_message(tmp_path, content, message):
    table = tmp_path / "bad.csv"
    table.write_text(content)
    done = run(str(table))
    assert done.returncode != 0
    assert message in done.stderr


def test_a_table_that_is_no_marginal_reports_the_error(tmp_path):
    table = tmp_path / "zero.csv"
    table.write_text("0,0\n1,0\n2,0\n")
    done = run(str(table))
    assert done.returncode == 1
    assert "error: Marginal too small after filtering" in done.stderr

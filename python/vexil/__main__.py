"""Demo of vexil's posterior-marginal toolbox.

    python -m vexil                  # a skewed posterior: a gamma density tabulated on 75 points
    python -m vexil marginal.csv     # your own marginal: a two-column x,y table (header line optional)

Prints the marginal's summary (mean, sd, quantiles, mode), its 95% HPD interval and the summary of a
transformed marginal: the precision-like variable X turned into a standard deviation 1 / sqrt(X).
"""

from __future__ import annotations

import argparse
import math
import sys

import numpy as np

from vexil.pure import quadra


def gamma_marginal(shape: float = 3.0, rate: float = 2.0, n: int = 75) -> dict:
    """A gamma(shape, rate) density tabulated on n points between its 0.01% and 99.99% regions."""
    mean = shape / rate
    sd = math.sqrt(shape) / rate
    x = np.linspace(max(mean - 4.0 * sd, 1e-3), mean + 8.0 * sd, n)
    logy = shape * math.log(rate) - math.lgamma(shape) + (shape - 1.0) * np.log(x) - rate * x
    return {"x": x, "y": np.exp(logy)}


def read_csv(path: str) -> dict:
    """Reads a two-column x,y table; a first line that is not numeric is taken as a header."""
    rows = []
    first = True
    with open(path, encoding="utf-8") as fh:
        for lineno, line in enumerate(fh, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = [p.strip() for p in line.replace(";", ",").split(",")]
            if len(parts) < 2:
                raise SystemExit(f"{path}:{lineno}: expected two columns x,y")
            try:
                rows.append((float(parts[0]), float(parts[1])))
            except ValueError:
                if not first:
                    raise SystemExit(f"{path}:{lineno}: not a number: {line!r}") from None
            first = False
    if len(rows) < 3:
        raise SystemExit(f"{path}: need at least 3 rows of x,y")
    table = np.asarray(rows, dtype=float)
    return {"x": table[:, 0], "y": table[:, 1]}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vexil", description=__doc__.splitlines()[0])
    parser.add_argument("csv", nargs="?", help="two-column x,y table of a marginal density")
    parser.add_argument("--level", type=float, default=0.95, help="HPD level (default 0.95)")
    args = parser.parse_args(argv)

    if args.csv:
        marginal, title = read_csv(args.csv), f"marginal from {args.csv}"
    else:
        marginal, title = gamma_marginal(), "gamma(3, 2) posterior tabulated on 75 points"

    print(f"== {title} ==")
    try:
        quadra.orvo_zmarginal(marginal)
        low, high = quadra.orvo_hpdmarginal(args.level, marginal)[0]
        print(f"HPD {args.level:g}        [{low:.6g}, {high:.6g}]")
        if np.all(marginal["x"] > 0):
            print()
            print("== transformed: 1 / sqrt(X) ==")
            transformed = quadra.orvo_tmarginal(lambda v: 1.0 / np.sqrt(v), marginal, n=400)
            quadra.orvo_zmarginal(transformed)
    except (ValueError, TypeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

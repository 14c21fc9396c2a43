"""The latent model catalogue: the MODELS tables of steppe, autoregressive, spatial and plexus.

The expected tables below are written out by hand from the model documentation, independently of the
native data tables, so that a slip in either shows up as a difference. Values are compared together with
their exact types (an int is not a float, a bool is not an int).
"""

import builtins
import gc
import importlib
import inspect
import math
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import vexil

PKG = "vexil.model_defs.latent."
ABSENT = object()  # a key the record must not carry

RECORD_KEYS = ["doc", "hyper", "constr", "nrow_ncol", "augmented", "aug_factor", "aug_constr", "n_div_by",
               "n_required", "set_default_values", "min_diff", "pdf"]
ORDER_A = ["hyperid", "name", "short_name", "prior", "param", "initial", "fixed", "to_theta", "from_theta"]
ORDER_B = ["hyperid", "name", "short_name", "initial", "fixed", "prior", "param", "to_theta", "from_theta"]

DOCSTRINGS = {
    "steppe": "\nRandom walk models: rw1, rw2, crw2, rw2d, rw2diid\n\n"
              "Temporal smoothing models based on random walks.\n",
    "autoregressive": "\nAutoregressive models: ar1, ar1c, ar, ou\n\n"
                      "Time series models with autoregressive structure.\n",
    "spatial": "\nSpatial models: besag, besag2, bym, bym2, besagproper, besagproper2, slm\n\n"
               "Conditional autoregressive (CAR) models for areal data.\n",
    "plexus": "\nMultivariate IID models: iid1d, iid2d, iid3d, iid4d, iid5d, iidkd, 2diid\n\n"
              "Multivariate Gaussian random effects with Wishart priors.\n",
}

# Record settings, one row per model in MODELS order:
# doc, constr, nrow_ncol, augmented, aug_factor, aug_constr, n_div_by, n_required, set_default_values,
# min_diff, pdf, entry key order.
RECORDS = {
    "steppe": {
        "rw1": ("Random walk of order 1",
                True, False, False, 1, None, None, False, False, 1e-06, "rw1", "A"),
        "rw2": ("Random walk of order 2",
                True, False, False, 1, None, None, False, False, 0.0001, "rw2", "A"),
        "crw2": ("Exact solution to the random walk of order 2",
                 True, False, False, 2, 1, None, False, False, 0.0001, "crw2", "A"),
        "rw2d": ("Thin-plate spline model",
                 True, True, False, 1, None, None, False, True, ABSENT, "rw2d", "B"),
        "rw2diid": ("Thin-plate spline with iid noise",
                    True, True, True, 2, 2, None, False, True, ABSENT, "rw2diid", "A"),
    },
    "autoregressive": {
        "ar1": ("Auto-regressive model of order 1 (AR(1))",
                False, False, False, 1, None, None, False, False, ABSENT, "ar1", "A"),
        "ar1c": ("Auto-regressive model of order 1 w/covariates",
                 False, False, False, 1, None, None, False, True, ABSENT, "ar1c", "A"),
        "ar": ("Auto-regressive model of order p (AR(p))",
               False, False, False, 1, None, None, False, False, ABSENT, "ar", "B"),
        "ou": ("The Ornstein-Uhlenbeck process",
               False, False, False, 1, None, None, False, False, ABSENT, "ou", "A"),
    },
    "spatial": {
        "besag": ("The Besag area model (CAR-model)",
                  True, False, False, 1, None, None, True, True, ABSENT, "besag", "A"),
        "besag2": ("The shared Besag model",
                   True, False, False, 1, [1, 2], 2, True, True, ABSENT, "besag2", "A"),
        "bym": ("The BYM-model (Besag-York-Mollier model)",
                True, False, True, 2, 2, None, True, True, ABSENT, "bym", "A"),
        "bym2": ("The BYM-model with the PC priors",
                 True, False, True, 2, 2, None, True, True, ABSENT, "bym2", "A"),
        "besagproper": ("A proper version of the Besag model",
                        False, False, False, 1, None, None, True, True, ABSENT, "besagproper", "A"),
        "besagproper2": ("An alternative proper version of the Besag model",
                         False, False, False, 1, None, None, True, True, ABSENT, "besagproper2", "A"),
        "slm": ("Spatial lag model",
                False, False, False, 1, None, None, True, True, ABSENT, "slm", "B"),
    },
    "plexus": {
        "iid1d": ("Gaussian random effect in dim=1 with Wishart prior",
                  False, False, False, 1, None, None, False, True, ABSENT, "iid123d", "B"),
        "iid2d": ("Gaussian random effect in dim=2 with Wishart prior",
                  False, False, True, 1, [1, 2], 2, True, True, ABSENT, "iid123d", "B"),
        "iid3d": ("Gaussian random effect in dim=3 with Wishart prior",
                  False, False, True, 1, [1, 2, 3], 3, True, True, ABSENT, "iid123d", "B"),
        "iid4d": ("Gaussian random effect in dim=4 with Wishart prior",
                  False, False, True, 1, [1, 2, 3, 4], 4, True, True, ABSENT, "iid123d", "B"),
        "iid5d": ("Gaussian random effect in dim=5 with Wishart prior",
                  False, False, True, 1, [1, 2, 3, 4, 5], 5, True, True, ABSENT, "iid123d", "B"),
        "iidkd": ("Gaussian random effect in dim=k with Wishart prior",
                  False, False, True, 1, list(range(1, 25)), -1, True, True, ABSENT, "iidkd", "B"),
        "2diid": ("(This model is obsolete)",
                  False, False, False, 1, [1, 2], 2, True, True, ABSENT, "iid123d", "B"),
    },
}

# Hyperparameter entries of the written-out models, per model in table order:
# key, hyperid, name, short_name, prior, param, initial, fixed, transform.
LOG, LOGIT, LOGITREC, CORR, IDENT = "log", "logit", "logit-reciprocal", "correlation", "identity"
_N = "none"
HYPER = {
    # steppe
    "rw1": [("theta", 4001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG)],
    "rw2": [("theta", 5001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG)],
    "crw2": [("theta", 6001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG)],
    "rw2d": [("theta", 32001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG)],
    "rw2diid": [("theta1", 33001, "log precision", "prec", "pc.prec", [1, 0.01], 4, False, LOG),
                ("theta2", 33002, "logit phi", "phi", "pc", [0.5, 0.5], 3, False, LOGIT)],
    # autoregressive
    "ar1": [("theta1", 14001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG),
            ("theta2", 14002, "logit lag one correlation", "rho", "normal", [0, 0.15], 2, False, CORR),
            ("theta3", 14003, "mean", "mean", "normal", [0, 1], 0, True, IDENT)],
    "ar1c": [("theta1", 14101, "log precision", "prec", "pc.prec", [1, 0.01], 4, False, LOG),
             ("theta2", 14102, "logit lag one correlation", "rho", "pc.cor0", [0.5, 0.5], 2, False, CORR)],
    "ar": [("theta1", 15001, "log precision", "prec", "pc.prec", [3, 0.01], 4, False, LOG),
           ("theta2", 15002, "pacf1", "pacf1", "pc.cor0", [0.5, 0.5], 1, False, CORR),
           ("theta3", 15003, "pacf2", "pacf2", "pc.cor0", [0.5, 0.4], 0, False, CORR),
           ("theta4", 15004, "pacf3", "pacf3", "pc.cor0", [0.5, 0.3], 0, False, CORR),
           ("theta5", 15005, "pacf4", "pacf4", "pc.cor0", [0.5, 0.2], 0, False, CORR),
           ("theta6", 15006, "pacf5", "pacf5", "pc.cor0", [0.5, 0.1], 0, False, CORR),
           ("theta7", 15007, "pacf6", "pacf6", "pc.cor0", [0.5, 0.1], 0, False, CORR),
           ("theta8", 15008, "pacf7", "pacf7", "pc.cor0", [0.5, 0.1], 0, False, CORR),
           ("theta9", 15009, "pacf8", "pacf8", "pc.cor0", [0.5, 0.1], 0, False, CORR),
           ("theta10", 15010, "pacf9", "pacf9", "pc.cor0", [0.5, 0.1], 0, False, CORR),
           ("theta11", 15011, "pacf10", "pacf10", "pc.cor0", [0.5, 0.1], 0, False, CORR)],
    "ou": [("theta1", 16001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG),
           ("theta2", 16002, "log phi", "phi", "normal", [0, 0.2], -1, False, LOG)],
    # spatial
    "besag": [("theta", 8001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG)],
    "besag2": [("theta1", 9001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG),
               ("theta2", 9002, "scaling parameter", "a", "loggamma", [10, 10], 0, False, LOG)],
    "bym": [("theta1", 10001, "log unstructured precision", "prec.unstruct", "loggamma", [1, 0.0005], 4,
             False, LOG),
            ("theta2", 10002, "log spatial precision", "prec.spatial", "loggamma", [1, 0.0005], 4, False,
             LOG)],
    "bym2": [("theta1", 11001, "log precision", "prec", "pc.prec", [1, 0.01], 4, False, LOG),
             ("theta2", 11002, "logit phi", "phi", "pc", [0.5, 0.5], -3, False, LOGIT)],
    "besagproper": [("theta1", 12001, "log precision", "prec", "loggamma", [1, 0.0005], 2, False, LOG),
                    ("theta2", 12002, "log diagonal", "diag", "loggamma", [1, 1], 1, False, LOG)],
    "besagproper2": [("theta1", 13001, "log precision", "prec", "loggamma", [1, 0.0005], 2, False, LOG),
                     ("theta2", 13002, "logit lambda", "lambda", "gaussian", [0, 0.45], 3, False, LOGIT)],
    "slm": [("theta1", 34001, "log precision", "prec", "loggamma", [1, 5e-05], 4, False, LOG),
            ("theta2", 34002, "rho", "rho", "normal", [0, 10], 0, False, LOGITREC)],
    # plexus (iidkd is generated and checked on its own)
    "iid1d": [("theta", 25001, "precision", "prec", "wishart1d", [2.0, 0.0001], 4, False, LOG)],
    "iid2d": [("theta1", 26001, "log precision1", "prec1", "wishart2d", [4, 1, 1, 0], 4, False, LOG),
              ("theta2", 26002, "log precision2", "prec2", _N, [], 4, False, LOG),
              ("theta3", 26003, "logit correlation", "cor", _N, [], 4, False, CORR)],
    "iid3d": [("theta1", 27001, "log precision1", "prec1", "wishart3d", [7, 1, 1, 1, 0, 0, 0], 4, False, LOG),
              ("theta2", 27002, "log precision2", "prec2", _N, [], 4, False, LOG),
              ("theta3", 27003, "log precision3", "prec3", _N, [], 4, False, LOG),
              ("theta4", 27004, "logit correlation12", "cor12", _N, [], 0, False, CORR),
              ("theta5", 27005, "logit correlation13", "cor13", _N, [], 0, False, CORR),
              ("theta6", 27006, "logit correlation23", "cor23", _N, [], 0, False, CORR)],
    "iid4d": [("theta1", 28001, "log precision1", "prec1", "wishart4d", [11, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0], 4,
               False, LOG),
              ("theta2", 28002, "log precision2", "prec2", _N, [], 4, False, LOG),
              ("theta3", 28003, "log precision3", "prec3", _N, [], 4, False, LOG),
              ("theta4", 28004, "log precision4", "prec4", _N, [], 4, False, LOG),
              ("theta5", 28005, "logit correlation12", "cor12", _N, [], 0, False, CORR),
              ("theta6", 28006, "logit correlation13", "cor13", _N, [], 0, False, CORR),
              ("theta7", 28007, "logit correlation14", "cor14", _N, [], 0, False, CORR),
              ("theta8", 28008, "logit correlation23", "cor23", _N, [], 0, False, CORR),
              ("theta9", 28009, "logit correlation24", "cor24", _N, [], 0, False, CORR),
              ("theta10", 28010, "logit correlation34", "cor34", _N, [], 0, False, CORR)],
    "iid5d": [("theta1", 29001, "log precision1", "prec1", "wishart5d",
               [16, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], 4, False, LOG),
              ("theta2", 29002, "log precision2", "prec2", _N, [], 4, False, LOG),
              ("theta3", 29003, "log precision3", "prec3", _N, [], 4, False, LOG),
              ("theta4", 29004, "log precision4", "prec4", _N, [], 4, False, LOG),
              ("theta5", 29005, "log precision5", "prec5", _N, [], 4, False, LOG),
              ("theta6", 29006, "logit correlation12", "cor12", _N, [], 0, False, CORR),
              ("theta7", 29007, "logit correlation13", "cor13", _N, [], 0, False, CORR),
              ("theta8", 29008, "logit correlation14", "cor14", _N, [], 0, False, CORR),
              ("theta9", 29009, "logit correlation15", "cor15", _N, [], 0, False, CORR),
              ("theta10", 29010, "logit correlation23", "cor23", _N, [], 0, False, CORR),
              ("theta11", 29011, "logit correlation24", "cor24", _N, [], 0, False, CORR),
              ("theta12", 29012, "logit correlation25", "cor25", _N, [], 0, False, CORR),
              ("theta13", 29013, "logit correlation34", "cor34", _N, [], 0, False, CORR),
              ("theta14", 29014, "logit correlation35", "cor35", _N, [], 0, False, CORR),
              ("theta15", 29015, "logit correlation45", "cor45", _N, [], 0, False, CORR)],
    "2diid": [("theta1", 30001, "log precision1", "prec1", "loggamma", [1, 5e-05], 4, False, LOG),
              ("theta2", 30002, "log precision2", "prec2", "loggamma", [1, 5e-05], 4, False, LOG),
              ("theta3", 30003, "correlation", "cor", "normal", [0, 0.15], 4, False, CORR)],
}

# The identifier register: first identifier, number of identifiers, owning module.
REGISTER = {
    "rw1": (4001, 1, "steppe"), "rw2": (5001, 1, "steppe"), "crw2": (6001, 1, "steppe"),
    "besag": (8001, 1, "spatial"), "besag2": (9001, 2, "spatial"), "bym": (10001, 2, "spatial"),
    "bym2": (11001, 2, "spatial"), "besagproper": (12001, 2, "spatial"),
    "besagproper2": (13001, 2, "spatial"), "ar1": (14001, 3, "autoregressive"),
    "ar1c": (14101, 2, "autoregressive"), "ar": (15001, 11, "autoregressive"),
    "ou": (16001, 2, "autoregressive"), "iid1d": (25001, 1, "plexus"), "iid2d": (26001, 3, "plexus"),
    "iid3d": (27001, 6, "plexus"), "iid4d": (28001, 10, "plexus"), "iid5d": (29001, 15, "plexus"),
    "iidkd": (29101, 300, "plexus"), "2diid": (30001, 3, "plexus"), "rw2d": (32001, 1, "steppe"),
    "rw2diid": (33001, 2, "steppe"), "slm": (34001, 2, "spatial"),
}

MODULES = list(RECORDS)


def load(name):
    return importlib.import_module(PKG + name)


def typed(v):
    """A value with the exact type of every part, for comparisons where 4 != 4.0 != True."""
    if isinstance(v, list):
        return ("list", [typed(e) for e in v])
    if isinstance(v, dict):
        return ("dict", [(k, typed(e)) for k, e in v.items()])
    return (type(v).__name__, v)


def all_models():
    for mod in MODULES:
        for model, record in load(mod).MODELS.items():
            yield mod, model, record


def all_entries():
    for mod, model, record in all_models():
        for key, entry in record["hyper"].items():
            yield mod, model, key, entry


def all_functions():
    for mod, model, key, entry in all_entries():
        yield f"{model}.{key}.to_theta", entry["to_theta"]
        yield f"{model}.{key}.from_theta", entry["from_theta"]


# ---------------------------------------------------------------------------------------------------
# Module layout


@pytest.mark.parametrize("mod", MODULES)
def test_module_names_and_docstring(mod):
    m = load(mod)
    assert m.__doc__ == DOCSTRINGS[mod]
    assert m.np is np
    own = {k for k in vars(m) if not (k.startswith("__") and k.endswith("__"))}
    assert own == ({"np", "MODELS", "_SPECIAL_NUMBER"} if mod == "plexus" else {"np", "MODELS"})
    assert type(m.MODELS) is dict


def test_special_number():
    plexus = load("plexus")
    assert type(plexus._SPECIAL_NUMBER) is float
    assert plexus._SPECIAL_NUMBER == 1048576.0 == 2.0 ** 20
    # bound before MODELS, after np
    assert list(k for k in vars(plexus) if k in ("np", "_SPECIAL_NUMBER", "MODELS")) == [
        "np", "_SPECIAL_NUMBER", "MODELS"]


def _python_with_vexil(code, tmp_path, extra_path=()):
    vexil_root = os.path.dirname(os.path.dirname(vexil.__file__))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*extra_path, vexil_root])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("mod", MODULES)
def test_import_fails_with_numpy_error(mod, tmp_path):
    """A failing numpy import propagates unchanged and leaves no half-built module behind."""
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "numpy.py").write_text("raise LookupError('numpy is unavailable here')\n")
    res = _python_with_vexil(f"""
        import sys
        try:
            import {PKG}{mod}
        except LookupError as e:
            print("LookupError", e)
        print("{PKG}{mod}" in sys.modules)
    """, tmp_path, extra_path=[str(fake)])
    assert res.returncode == 0, res.stderr
    assert res.stdout.splitlines() == ["LookupError numpy is unavailable here", "False"]


# ---------------------------------------------------------------------------------------------------
# Records


@pytest.mark.parametrize("mod", MODULES)
def test_model_order(mod):
    assert list(load(mod).MODELS) == list(RECORDS[mod])


@pytest.mark.parametrize("mod,model", [(mod, model) for mod in MODULES for model in RECORDS[mod]])
def test_record_settings(mod, model):
    record = load(mod).MODELS[model]
    (doc, constr, nrow_ncol, augmented, aug_factor, aug_constr, n_div_by, n_required, set_default_values,
     min_diff, pdf, _order) = RECORDS[mod][model]
    assert type(record) is dict
    expected_keys = [k for k in RECORD_KEYS if not (k == "min_diff" and min_diff is ABSENT)]
    assert list(record) == expected_keys
    expected = {"doc": doc, "constr": constr, "nrow_ncol": nrow_ncol, "augmented": augmented,
                "aug_factor": aug_factor, "aug_constr": aug_constr, "n_div_by": n_div_by,
                "n_required": n_required, "set_default_values": set_default_values, "pdf": pdf}
    if min_diff is not ABSENT:
        expected["min_diff"] = min_diff
    for key, value in expected.items():
        assert typed(record[key]) == typed(value), key
    assert type(record["hyper"]) is dict


def test_min_diff_only_in_the_random_walks():
    carriers = [model for _, model, record in all_models() if "min_diff" in record]
    assert carriers == ["rw1", "rw2", "crw2"]
    nrow = [model for _, model, record in all_models() if record["nrow_ncol"]]
    assert nrow == ["rw2d", "rw2diid"]


# ---------------------------------------------------------------------------------------------------
# Hyperparameter entries


def _written_out():
    for mod in MODULES:
        for model in RECORDS[mod]:
            if model != "iidkd":
                yield mod, model


@pytest.mark.parametrize("mod,model", list(_written_out()))
def test_hyper_entries(mod, model):
    record = load(mod).MODELS[model]
    rows = HYPER[model]
    order = ORDER_A if RECORDS[mod][model][-1] == "A" else ORDER_B
    assert list(record["hyper"]) == [row[0] for row in rows]
    for key, hyperid, name, short_name, prior, param, initial, fixed, _transform in rows:
        entry = record["hyper"][key]
        assert type(entry) is dict
        assert list(entry) == order, key
        got = {k: entry[k] for k in ("hyperid", "name", "short_name", "prior", "param", "initial", "fixed")}
        want = {"hyperid": hyperid, "name": name, "short_name": short_name, "prior": prior, "param": param,
                "initial": initial, "fixed": fixed}
        assert typed(got) == typed(want), key


def test_fixed_dimension_layout():
    """iid2d to iid5d follow the documented layout rule (a second check of the written-out rows)."""
    models = load("plexus").MODELS
    for k in range(2, 6):
        pairs = [(i, j) for i in range(1, k + 1) for j in range(i + 1, k + 1)]
        want = []
        for j in range(1, k + 1):
            want.append((f"log precision{j}", f"prec{j}", LOG, 4))
        for i, j in pairs:
            if k == 2:
                want.append(("logit correlation", "cor", CORR, 4))
            else:
                want.append((f"logit correlation{i}{j}", f"cor{i}{j}", CORR, 0))
        hyper = models[f"iid{k}d"]["hyper"]
        assert list(hyper) == [f"theta{n}" for n in range(1, len(want) + 1)]
        got = [(e["name"], e["short_name"], _transform_of(e), e["initial"]) for e in hyper.values()]
        assert got == want
        first = hyper["theta1"]
        m = k * (k + 1) // 2
        assert first["prior"] == f"wishart{k}d"
        assert typed(first["param"]) == typed([m + 1] + [1] * k + [0] * (k * (k - 1) // 2))
        assert all(e["prior"] == "none" and e["param"] == [] for e in list(hyper.values())[1:])


def test_identifier_register():
    ids = []
    owners = {}
    for mod, model, record in all_models():
        owners[model] = mod
        entry_ids = [e["hyperid"] for e in record["hyper"].values()]
        start, count, owner = REGISTER[model]
        assert entry_ids == list(range(start, start + count)), model
        assert all(type(i) is int for i in entry_ids)
        ids.extend(entry_ids)
    assert owners == {model: owner for model, (_, _, owner) in REGISTER.items()}
    assert len(ids) == 375
    assert len(set(ids)) == 375


def test_hyper_key_naming():
    for _, model, record in all_models():
        keys = list(record["hyper"])
        if len(keys) == 1:
            assert keys == ["theta"], model
        else:
            assert keys == [f"theta{i}" for i in range(1, len(keys) + 1)], model
        ids = [e["hyperid"] for e in record["hyper"].values()]
        assert ids == sorted(ids)


def test_only_ar1_mean_is_fixed():
    fixed = [(model, key) for _, model, key, e in all_entries() if e["fixed"] is not False]
    assert fixed == [("ar1", "theta3")]
    assert load("autoregressive").MODELS["ar1"]["hyper"]["theta3"]["fixed"] is True


# ---------------------------------------------------------------------------------------------------
# The generated iidkd table


@pytest.fixture(scope="module")
def iidkd():
    plexus = load("plexus")
    return plexus, plexus.MODELS["iidkd"]["hyper"]


def test_iidkd_keys_and_ids(iidkd):
    _, hyper = iidkd
    keys = list(hyper)
    assert len(keys) == 300
    assert keys == [f"theta{i}" for i in range(1, 301)]
    assert keys[keys.index("theta9") + 1] == "theta10"
    assert keys[-1] == "theta300" and hyper["theta300"]["hyperid"] == 29400
    for i, (key, entry) in enumerate(hyper.items(), start=1):
        assert list(entry) == ORDER_B
        assert typed(entry["hyperid"]) == typed(29100 + i)
        assert entry["name"] == entry["short_name"] == key
        assert entry["fixed"] is False
        assert entry["prior"] == ("wishartkd" if i == 1 else "none")


def test_iidkd_special_number_identity(iidkd):
    plexus, hyper = iidkd
    special = plexus._SPECIAL_NUMBER
    assert all(e["initial"] is special for e in hyper.values())
    param = hyper["theta1"]["param"]
    assert type(param) is list and len(param) == 301
    assert type(param[0]) is int and param[0] == 30
    assert all(p is special for p in param[1:])
    rest = [e["param"] for e in list(hyper.values())[1:]]
    assert all(type(p) is list and p == [] for p in rest)
    assert len({id(p) for p in rest}) == 299


def test_iidkd_identity_functions(iidkd):
    _, hyper = iidkd
    funcs = [f for e in hyper.values() for f in (e["to_theta"], e["from_theta"])]
    assert len({id(f) for f in funcs}) == 600
    probe = object()
    arr = np.arange(3.0)
    for f in funcs:
        assert f(probe) is probe
        assert f(x=arr) is arr


# ---------------------------------------------------------------------------------------------------
# Ownership: no container or function object is shared


def test_every_container_and_function_is_distinct():
    seen = {}
    special = load("plexus")._SPECIAL_NUMBER

    shared_floats = []
    functions = []

    def visit(obj, path):
        if isinstance(obj, (dict, list)) or callable(obj):
            assert id(obj) not in seen, f"{path} is the same object as {seen[id(obj)]}"
            seen[id(obj)] = path
        if callable(obj):
            functions.append(obj)
        elif isinstance(obj, dict):
            for k, v in obj.items():
                visit(v, f"{path}[{k!r}]")
        elif isinstance(obj, list):
            for i, v in enumerate(obj):
                visit(v, f"{path}[{i}]")
        elif obj is special:
            shared_floats.append(path)

    for mod in MODULES:
        visit(load(mod).MODELS, mod)
    # the only shared object is _SPECIAL_NUMBER: 300 initial values and 300 prior parameters of iidkd
    assert len(shared_floats) == 600
    assert all(p.startswith("plexus['iidkd']") for p in shared_floats)
    assert len(functions) == 750


def test_equal_lists_are_not_shared():
    spatial, plexus = load("spatial").MODELS, load("plexus").MODELS
    a, b, c = spatial["besag2"]["aug_constr"], plexus["iid2d"]["aug_constr"], plexus["2diid"]["aug_constr"]
    assert a == b == c == [1, 2]
    assert len({id(a), id(b), id(c)}) == 3
    p1 = load("steppe").MODELS["rw1"]["hyper"]["theta"]["param"]
    p2 = load("steppe").MODELS["rw2"]["hyper"]["theta"]["param"]
    assert p1 == p2 and p1 is not p2


def test_changes_are_seen_by_later_readers(monkeypatch):
    entry = load("steppe").MODELS["rw1"]["hyper"]["theta"]
    monkeypatch.setitem(entry, "initial", 7.5)
    monkeypatch.setitem(load("plexus").MODELS["iid1d"], "doc", "changed")
    param = entry["param"]
    param.append(3)
    try:
        again = importlib.import_module(PKG + "steppe")
        assert again.MODELS["rw1"]["hyper"]["theta"]["initial"] == 7.5
        assert again.MODELS["rw1"]["hyper"]["theta"]["param"] == [1, 5e-05, 3]
        from vexil.model_defs.latent import plexus
        assert plexus.MODELS["iid1d"]["doc"] == "changed"
    finally:
        param.pop()


# ---------------------------------------------------------------------------------------------------
# Transforms


def _ref_log_to(x): return np.log(x)
def _ref_log_from(x): return np.exp(x)
def _ref_logit_to(x): return np.log(x / (1 - x))
def _ref_logit_from(x): return np.exp(x) / (1 + np.exp(x))
def _ref_logitrec_from(x): return 1 / (1 + np.exp(-x))
def _ref_corr_to(x): return np.log((1 + x) / (1 - x))
def _ref_corr_from(x): return 2 * np.exp(x) / (1 + np.exp(x)) - 1
def _ref_ident(x): return x


REFERENCE = {
    LOG: (_ref_log_to, _ref_log_from),
    LOGIT: (_ref_logit_to, _ref_logit_from),
    LOGITREC: (_ref_logit_to, _ref_logitrec_from),
    CORR: (_ref_corr_to, _ref_corr_from),
    IDENT: (_ref_ident, _ref_ident),
}

SAMPLES = [-1000, -3, -1, 0, 1, 2, 3, 4, 1000, -0.5, 0.25, 0.5, 1.0, -1.0, 709.5, 710.0,
           np.float64(1.0), np.float64(-1.0), np.float64(0.5), np.float64(0.0), np.float64(-800.0),
           np.float32(0.5), np.int64(1),
           np.array([-1000.0, -1.0, -0.5, 0.0, 0.3, 0.5, 1.0, 2.0, 1000.0]),
           np.array([[0.1, 0.9], [-0.9, 4.0]]), np.array([0, 1, 2])]


def _outcome(f, x):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            r = f(x)
        except Exception as e:  # noqa: BLE001 - the outcome itself is compared
            return ("raise", type(e), str(e))
    if isinstance(r, np.ndarray):
        return ("array", r.dtype, r.shape, r.tobytes())
    # the bits, so that nan == nan and -0.0 != 0.0
    return ("value", type(r), np.asarray(r).tobytes())


def _transform_of(entry):
    """Names the transform an entry implements, by its behaviour at the sample points."""
    matches = [name for name, (to, frm) in REFERENCE.items()
               if all(_outcome(entry["to_theta"], x) == _outcome(to, x)
                      and _outcome(entry["from_theta"], x) == _outcome(frm, x) for x in SAMPLES)]
    assert len(matches) == 1, matches
    return matches[0]


def test_reference_transforms_are_told_apart():
    """The sample points are rich enough to tell every pair of transforms apart."""
    for a in REFERENCE:
        for b in REFERENCE:
            if a != b:
                assert any(_outcome(REFERENCE[a][i], x) != _outcome(REFERENCE[b][i], x)
                           for i in (0, 1) for x in SAMPLES), (a, b)


@pytest.mark.parametrize("mod,model", list(_written_out()))
def test_entry_transforms(mod, model):
    hyper = load(mod).MODELS[model]["hyper"]
    for key, *_, transform in HYPER[model]:
        assert _transform_of(hyper[key]) == transform, key


def test_transform_counts():
    counts = {}
    for mod, model, key, entry in all_entries():
        if model == "iidkd":
            continue
        counts.setdefault(mod, {}).setdefault(_transform_of(entry), 0)
        counts[mod][_transform_of(entry)] += 1
    assert counts == {"steppe": {LOG: 5, LOGIT: 1},
                      "autoregressive": {LOG: 5, CORR: 12, IDENT: 1},
                      "spatial": {LOG: 10, LOGIT: 2, LOGITREC: 1},
                      "plexus": {LOG: 17, CORR: 21}}


def _entry(mod, model, key):
    return load(mod).MODELS[model]["hyper"][key]


LOG_E = ("steppe", "rw1", "theta")
LOGIT_E = ("steppe", "rw2diid", "theta2")
LOGITREC_E = ("spatial", "slm", "theta2")
CORR_E = ("autoregressive", "ar1", "theta2")
IDENT_E = ("autoregressive", "ar1", "theta3")


@pytest.mark.parametrize("where,fn,x,want", [
    (LOG_E, "to_theta", 1, 0.0),
    (LOG_E, "from_theta", 0, 1.0),
    (LOG_E, "from_theta", 4, 54.598150033144236),
    (LOGIT_E, "from_theta", 0, 0.5),
    (LOGIT_E, "to_theta", 0.5, 0.0),
    (LOGIT_E, "from_theta", 3, 0.9525741268224334),
    (LOGITREC_E, "from_theta", 1000, 1.0),
    (LOGITREC_E, "from_theta", 0, 0.5),
    (CORR_E, "to_theta", 0, 0.0),
    (CORR_E, "from_theta", 0, 0.0),
    (CORR_E, "from_theta", -1000, -1.0),
    (CORR_E, "from_theta", 2, math.tanh(1)),
    (("autoregressive", "ou", "theta2"), "from_theta", -1, math.exp(-1)),
    (("autoregressive", "ar", "theta5"), "to_theta", 0.5, math.log(3)),
    (("spatial", "bym2", "theta2"), "from_theta", -3, 0.04742587317756678),
    (("spatial", "besagproper", "theta2"), "from_theta", 1, math.e),
    (("plexus", "iid2d", "theta3"), "from_theta", 4, 0.9640275800758169),
])
def test_sample_points(where, fn, x, want):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # none of these may warn
        got = _entry(*where)[fn](x)
    assert isinstance(got, np.floating)
    assert got == pytest.approx(want, rel=1e-14, abs=1e-300)


def test_log_round_trip():
    e = _entry(*LOG_E)
    assert e["to_theta"](e["from_theta"](4)) == pytest.approx(4.0, rel=1e-15)


@pytest.mark.parametrize("where,fn,x,check", [
    (LOG_E, "to_theta", 0, lambda r: r == -np.inf),
    (LOG_E, "to_theta", -1.0, np.isnan),
    (LOG_E, "from_theta", 710, lambda r: r == np.inf),
    (LOGIT_E, "from_theta", 1000, np.isnan),
    (LOGITREC_E, "from_theta", -1000, lambda r: r == 0.0 and isinstance(r, np.floating)),
    (CORR_E, "from_theta", 1000, np.isnan),
    (CORR_E, "to_theta", -1, lambda r: r == -np.inf),
    (LOGIT_E, "to_theta", np.float64(1.0), lambda r: r == np.inf),
    (LOGITREC_E, "to_theta", np.float64(1.0), lambda r: r == np.inf),
    (CORR_E, "to_theta", np.float64(1.0), lambda r: r == np.inf),
    (CORR_E, "to_theta", np.array([1.0, 0.0]), lambda r: r[0] == np.inf and r[1] == 0.0),
])
def test_numpy_overflow_and_division_warn(where, fn, x, check):
    with pytest.warns(RuntimeWarning):
        r = _entry(*where)[fn](x)
    assert check(r)


def test_numpy_errors_pass_through_unchanged():
    with np.errstate(divide="raise", over="raise", invalid="raise"):
        with pytest.raises(FloatingPointError):
            _entry(*LOG_E)["to_theta"](0)
        with pytest.raises(FloatingPointError):
            _entry(*LOGIT_E)["from_theta"](1000)
        with pytest.raises(FloatingPointError):
            _entry(*CORR_E)["to_theta"](np.float64(1.0))


@pytest.mark.parametrize("where", [LOGIT_E, LOGITREC_E, CORR_E])
@pytest.mark.parametrize("x", [1, 1.0, True])
def test_python_number_division_by_zero(where, x):
    with pytest.raises(ZeroDivisionError):
        _entry(*where)["to_theta"](x)


def test_int_arithmetic_stays_exact():
    """With an int argument 1 + x and 1 - x are exact ints: an int beyond the float range is not
    converted to float (which would raise OverflowError) before the true division."""
    big = 10 ** 400
    for where in (CORR_E, LOGIT_E, LOGITREC_E):
        for x in (big, -big, 2 ** 60 + 1):
            assert _outcome(_entry(*where)["to_theta"], x) == _outcome(REFERENCE[CORR if where is CORR_E
                                                                             else LOGIT][0], x)
    with pytest.warns(RuntimeWarning):
        assert np.isnan(_entry(*CORR_E)["to_theta"](big))  # (1 + x) / (1 - x) == -1.0 exactly


@pytest.mark.parametrize("obj", [object(), "text", None, [1, 2], 3, 2.5, np.float64(0.25)])
def test_identity_returns_the_object(obj):
    e = _entry(*IDENT_E)
    assert e["to_theta"](obj) is obj
    assert e["from_theta"](x=obj) is obj


def test_arrays_are_converted_elementwise():
    x = np.linspace(-0.9, 0.9, 7)
    for where, transform in [(LOG_E, LOG), (LOGIT_E, LOGIT), (LOGITREC_E, LOGITREC), (CORR_E, CORR)]:
        e = _entry(*where)
        to, frm = REFERENCE[transform]
        with np.errstate(all="ignore"):
            np.testing.assert_array_equal(e["to_theta"](x), to(x))
            np.testing.assert_array_equal(e["from_theta"](x), frm(x))
            np.testing.assert_allclose(e["from_theta"](e["to_theta"](np.abs(x) / 2)), np.abs(x) / 2,
                                       atol=1e-15)


# The exact sequence of operations, traced with a symbolic argument and a stand-in numpy.
class Sym:
    def __init__(self, expr, trace):
        self.expr, self.trace = expr, trace

    def _new(self, expr):
        self.trace.append(expr)
        return Sym(expr, self.trace)

    @staticmethod
    def _s(o):
        return o.expr if isinstance(o, Sym) else repr(o)

    def __add__(self, o): return self._new(f"({self.expr} + {self._s(o)})")
    def __radd__(self, o): return self._new(f"({self._s(o)} + {self.expr})")
    def __sub__(self, o): return self._new(f"({self.expr} - {self._s(o)})")
    def __rsub__(self, o): return self._new(f"({self._s(o)} - {self.expr})")
    def __mul__(self, o): return self._new(f"({self.expr} * {self._s(o)})")
    def __rmul__(self, o): return self._new(f"({self._s(o)} * {self.expr})")
    def __truediv__(self, o): return self._new(f"({self.expr} / {self._s(o)})")
    def __rtruediv__(self, o): return self._new(f"({self._s(o)} / {self.expr})")
    def __neg__(self): return self._new(f"(-{self.expr})")


class FakeNumpy:
    def __init__(self, trace):
        self.trace = trace

    def __getattr__(self, name):
        if name not in ("log", "exp"):
            raise AttributeError(name)
        self.trace.append(f"np.{name}")
        return lambda v: v._new(f"{name}({v.expr})")


TRACES = {
    LOG: (["np.log", "log(x)"], ["np.exp", "exp(x)"]),
    LOGIT: (["np.log", "(1 - x)", "(x / (1 - x))", "log((x / (1 - x)))"],
            ["np.exp", "exp(x)", "np.exp", "exp(x)", "(1 + exp(x))", "(exp(x) / (1 + exp(x)))"]),
    LOGITREC: (["np.log", "(1 - x)", "(x / (1 - x))", "log((x / (1 - x)))"],
               ["np.exp", "(-x)", "exp((-x))", "(1 + exp((-x)))", "(1 / (1 + exp((-x))))"]),
    CORR: (["np.log", "(1 + x)", "(1 - x)", "((1 + x) / (1 - x))", "log(((1 + x) / (1 - x)))"],
           ["np.exp", "exp(x)", "(2 * exp(x))", "np.exp", "exp(x)", "(1 + exp(x))",
            "((2 * exp(x)) / (1 + exp(x)))", "(((2 * exp(x)) / (1 + exp(x))) - 1)"]),
    IDENT: ([], []),
}


def test_reference_traces():
    """The traces above are those of the reference formulas themselves."""
    for transform, pair in REFERENCE.items():
        for ref, want in zip(pair, TRACES[transform]):
            trace = []
            g = dict(ref.__globals__, np=FakeNumpy(trace))
            clone = type(ref)(ref.__code__, g)
            clone(Sym("x", trace))
            assert trace == want, (transform, ref.__name__)


@pytest.mark.parametrize("where,transform", [(LOG_E, LOG), (LOGIT_E, LOGIT), (LOGITREC_E, LOGITREC),
                                             (CORR_E, CORR), (IDENT_E, IDENT),
                                             (("plexus", "iid3d", "theta4"), CORR),
                                             (("spatial", "bym2", "theta2"), LOGIT)])
def test_operation_order_and_np_lookup(where, transform, monkeypatch):
    mod = load(where[0])
    e = _entry(*where)
    trace = []
    monkeypatch.setattr(mod, "np", FakeNumpy(trace))
    for fn, want in zip(("to_theta", "from_theta"), TRACES[transform]):
        trace.clear()
        x = Sym("x", trace)
        r = e[fn](x)
        assert trace == want, fn
        if want:
            assert r.expr == want[-1]
        else:
            assert r is x
    monkeypatch.undo()
    to, frm = REFERENCE[transform]
    assert _outcome(e["to_theta"], 0.25) == _outcome(to, 0.25)  # real numpy again
    assert _outcome(e["from_theta"], 0.25) == _outcome(frm, 0.25)


@pytest.mark.parametrize("mod", MODULES)
def test_np_is_looked_up_at_every_call(mod, monkeypatch):
    m = load(mod)
    funcs = [e[fn] for m_, model, key, e in all_entries() for fn in ("to_theta", "from_theta")
             if m_ == mod and model != "iidkd" and (model, key) != ("ar1", "theta3")]
    calls = []

    class Spy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(m, "np", Spy())
    for f in funcs:
        f(0.25)
    # every function used the stand-in, at least once per call
    assert len(calls) >= len(funcs) and set(calls) == {"log", "exp"}
    monkeypatch.setattr(m, "np", np)
    calls.clear()
    for f in funcs:
        f(0.25)
    assert calls == []
    monkeypatch.delattr(m, "np")
    for f in funcs:
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            f(0.25)
    # as for Python code, the builtins are searched after the module namespace
    monkeypatch.setattr(builtins, "np", Spy(), raising=False)
    for f in funcs:
        f(0.25)
    assert len(calls) >= len(funcs)


@pytest.mark.parametrize("name,f", list(all_functions()))
def test_function_identity(name, f):
    assert f.__name__ == "<lambda>"
    assert f.__qualname__ == "<lambda>"
    assert f.__module__.startswith(PKG)
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__doc__ is None and f.__annotations__ == {}
    assert str(inspect.signature(f)) == "(x)"


@pytest.mark.parametrize("mod", MODULES)
def test_function_module_names(mod):
    for _, model, record in [(m_, n, r) for m_, n, r in all_models() if m_ == mod]:
        for entry in record["hyper"].values():
            assert entry["to_theta"].__module__ == PKG + mod
            assert entry["from_theta"].__module__ == PKG + mod


# ---------------------------------------------------------------------------------------------------
# Robustness and leaks: any argument gives a result or an ordinary Python exception, and repeated calls
# leave nothing behind.


class Boom:
    """An argument whose arithmetic raises."""

    def _raise(self, *_):
        raise ValueError("boom")

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _raise
    __truediv__ = __rtruediv__ = __neg__ = _raise


GOOD_ARGS = [0.25, 2, -1.5, np.float64(0.3), np.array([0.1, 0.2, 0.7]), False]
BAD_ARGS = [None, "text", Boom(), [1, "x"], object(), {}, 1, True, 1.0, 10 ** 400]
BAD_SHAPES = [((), {}), ((1, 2), {}), ((), {"y": 1}), ((1,), {"x": 1}), ((), {"x": 1, "z": 2})]


def _catalogue_functions_with_transform():
    out = []
    for mod, model, key, entry in all_entries():
        if model == "iidkd":
            transform = IDENT
        else:
            transform = next(row[-1] for row in HYPER[model] if row[0] == key)
        to, frm = REFERENCE[transform]
        out.append((entry["to_theta"], to))
        out.append((entry["from_theta"], frm))
    return out


def test_bad_arguments_raise_what_python_raises():
    """Every function gives, for every odd argument, the exact outcome of the equivalent Python code."""
    for f, ref in _catalogue_functions_with_transform():
        for x in GOOD_ARGS + BAD_ARGS:
            assert _outcome(f, x) == _outcome(ref, x), (f, x)
        for args, kwargs in BAD_SHAPES:
            with pytest.raises(TypeError) as info:
                f(*args, **kwargs)
            assert info.type is TypeError
            assert str(info.value).startswith("<lambda>() ")


def _exercise(f, rounds):
    for _ in range(rounds):
        for x in GOOD_ARGS:
            f(x)
        for x in BAD_ARGS:
            try:
                f(x)
            except (TypeError, ValueError, ZeroDivisionError, OverflowError):
                pass
        for args, kwargs in BAD_SHAPES:
            try:
                f(*args, **kwargs)
            except TypeError:
                pass


@pytest.mark.memory
def test_repeated_calls_do_not_leak():
    import tracemalloc

    funcs = [f for f, _ in _catalogue_functions_with_transform()]
    # one function of every kind, each called 20,000 times; all 750 functions a few times each
    per_kind = {}
    for f, ref in _catalogue_functions_with_transform():
        per_kind.setdefault(ref, f)
    calls_per_round = len(GOOD_ARGS) + len(BAD_ARGS) + len(BAD_SHAPES)
    kind_rounds = 20_000 // calls_per_round

    # objects whose reference count only these calls could change (not None, True or the small ints)
    watched = [np, np.log, np.exp, *(x for x in GOOD_ARGS + BAD_ARGS
                                     if not (x is None or (type(x) in (int, bool) and abs(x) < 257)))]
    with np.errstate(all="ignore"):
        for f in funcs:  # warm up every path
            _exercise(f, 2)
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        tracemalloc.start()
        try:
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for f in per_kind.values():
                _exercise(f, kind_rounds)
            for f in funcs:
                _exercise(f, 3)
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    total_calls = calls_per_round * (kind_rounds * len(per_kind) + 3 * len(funcs))
    assert total_calls > 150_000
    # a leak of even one small object per call would show as megabytes
    assert after - before < 64 * 1024, (before, after)

"""Prints vexil's latent model catalogue: every model with its description and its hyperparameters, each with
its prior and its initial value on the user's scale."""

from vexil.model_defs.latent import autoregressive, plexus, spatial, steppe


def _user_scale(entry):
    try:
        return float(entry["from_theta"](entry["initial"]))
    except (TypeError, ValueError, ZeroDivisionError):
        return float("nan")


def print_catalogue():
    for module in (steppe, autoregressive, spatial, plexus):
        print(f"== {module.__name__} ==")
        for model, record in module.MODELS.items():
            hyper = record["hyper"]
            print(f"{model:<14}{record['doc']}  ({len(hyper)} hyperparameter{'s' if len(hyper) != 1 else ''})")
            shown = list(hyper.items())
            for key, entry in shown[:6]:
                params = ", ".join(repr(p) for p in entry["param"][:4])
                if len(entry["param"]) > 4:
                    params += ", ..."
                prior = f"{entry['prior']}({params})"
                print(f"    {key:<9}{entry['short_name']:<16}{prior:<32}initial {_user_scale(entry):.6g}")
            if len(shown) > 6:
                print(f"    ... and {len(shown) - 6} more")
        print()


if __name__ == "__main__":
    print_catalogue()

"""corvane's scikit-learn estimators beside scikit-learn's own, by 5-fold cross-validation on two
datasets that ship inside scikit-learn (nothing is downloaded): diabetes (regression, R^2) and
breast cancer (classification, accuracy). Every model sits in the same pipeline: a
StandardScaler on the features, and for regression a StandardScaler on the target too. The
scikit-learn models keep their default settings; corvane runs with its defaults and with a
longer run. Prints one Markdown table of mean scores and mean fit times per fold.

    python examples/sklearn_compare.py            # 5 folds
    python examples/sklearn_compare.py --quick    # 2 folds, small runs, the baselines beaten?

Needs scikit-learn (pip install "corvane[examples]").
"""
import argparse
import sys
import warnings

import numpy as np
from sklearn.compose import TransformedTargetRegressor
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.dummy import DummyClassifier, DummyRegressor
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import LogisticRegression, Ridge
from sklearn.model_selection import KFold, StratifiedKFold, cross_validate
from sklearn.neural_network import MLPClassifier, MLPRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from corvane.sklearn import EvolutionClassifier, EvolutionRegressor


def regression_models(quick):
    corvane = {"pop_size": 20, "epochs": 20} if quick else {}
    longer = {"pop_size": 20, "epochs": 40} if quick else {"epochs": 400}
    return [
        ("DummyRegressor (training mean)", DummyRegressor()),
        ("Ridge", Ridge()),
        ("MLPRegressor", MLPRegressor(random_state=0)),
        (f"EvolutionRegressor({settings(corvane)})", EvolutionRegressor(random_state=0, **corvane)),
        (f"EvolutionRegressor({settings(longer)})", EvolutionRegressor(random_state=0, **longer)),
    ]


def classification_models(quick):
    corvane = {"pop_size": 20, "epochs": 20} if quick else {}
    longer = {"pop_size": 20, "epochs": 40} if quick else {"epochs": 400}
    return [
        ("DummyClassifier (most frequent)", DummyClassifier()),
        ("LogisticRegression", LogisticRegression()),
        ("MLPClassifier", MLPClassifier(random_state=0)),
        (f"EvolutionClassifier({settings(corvane)})", EvolutionClassifier(random_state=0, **corvane)),
        (f"EvolutionClassifier({settings(longer)})", EvolutionClassifier(random_state=0, **longer)),
    ]


def settings(parameters):
    return ", ".join(f"{name}={value}" for name, value in parameters.items())


def in_pipeline(model, regression):
    if regression:
        model = TransformedTargetRegressor(regressor=model, transformer=StandardScaler())
    return make_pipeline(StandardScaler(), model)


def compare(title, x, y, models, folds, regression):
    """Rows of (dataset, model, mean score, its standard deviation, mean fit seconds)."""
    rows = []
    for name, model in models:
        with warnings.catch_warnings():
            # The MLPs with their default 200 iterations warn that they have not converged.
            warnings.simplefilter("ignore", ConvergenceWarning)
            result = cross_validate(in_pipeline(model, regression), x, y, cv=folds)
        scores = result["test_score"]
        rows.append((title, name, scores.mean(), scores.std(), result["fit_time"].mean()))
        print(f"  {title}: {name}: {scores.mean():.3f}", flush=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2 folds and small runs: check the baselines are beaten")
    args = parser.parse_args()
    n_folds = 2 if args.quick else 5

    diabetes = load_diabetes()
    cancer = load_breast_cancer()
    print(f"diabetes: {diabetes.data.shape[0]} samples, {diabetes.data.shape[1]} features; "
          f"breast cancer: {cancer.data.shape[0]} samples, {cancer.data.shape[1]} features; {n_folds}-fold CV")
    rows = compare("diabetes (R^2)", diabetes.data, diabetes.target, regression_models(args.quick),
                   KFold(n_folds, shuffle=True, random_state=0), regression=True)
    rows += compare("breast cancer (accuracy)", cancer.data, cancer.target, classification_models(args.quick),
                    StratifiedKFold(n_folds, shuffle=True, random_state=0), regression=False)

    print()
    print("| dataset (score) | model | mean score | std | fit time per fold |")
    print("|---|---|---|---|---|")
    for title, name, mean, std, seconds in rows:
        print(f"| {title} | {name} | {mean:.3f} | {std:.3f} | {seconds:.2f} s |")

    # The first corvane row of each dataset against its dummy baseline (the first row).
    regression_beaten = rows[3][2] > rows[0][2]
    classification_beaten = rows[8][2] > rows[5][2]
    if regression_beaten and classification_beaten:
        print("IMPROVED on both baselines")
        return 0
    print("corvane did not beat the baseline of " +
          " and ".join(t for t, beaten in [("diabetes", regression_beaten), ("breast cancer", classification_beaten)]
                       if not beaten))
    return 1


if __name__ == "__main__":
    sys.exit(main())

"""KPI extraction from solver results."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvane_platform.schema import _get_kpi, extract_kpis


@pytest.mark.parametrize(
    ("result", "kpi", "value"),
    [
        ({"cd": 0.3}, "cd", 0.3),
        ({"Cd": 0.3}, "cd", 0.3),
        ({"CD": "0.31"}, "cd", "0.31"),
        ({"cd": None, "CD": 0.2}, "cd", 0.2),
        ({"CD": 0.1, "cd": 0.2}, "cd", 0.2),
        ({"kpis": {"cd": 0.25}}, "cd", 0.25),
        ({"KPIs": {"Cd": 0.25}}, "CD", 0.25),
        ({"cd": 0.3, "kpis": {"cd": 0.25}}, "cd", 0.3),
        ({"cd": None, "kpis": {"cd": 0.25}}, "cd", 0.25),
        ({"kpis": [0.25]}, "cd", None),
        ({"status": "success"}, "cd", None),
        ({1: 0.3, "cl": 0.1}, "cd", None),
        ({"cd": "n/a"}, "cd", "n/a"),
    ],
)
def test_get_kpi(result, kpi, value):
    assert _get_kpi(result, kpi) == value


def test_extract_kpis_keeps_values_that_convert_to_float():
    result = {"CD": "0.3", "cl": -0.01, "cm_pitch": "n/a", "status": "success", "kpis": {"Yaw": 2}}
    kpis = {"cd": {}, "cl": {}, "cm_pitch": {}, "yaw": {}, "missing": {}}
    assert extract_kpis(result, kpis) == {"cd": "0.3", "cl": -0.01, "yaw": 2}
    assert extract_kpis(result, ["cl", "cd"]) == {"cl": -0.01, "cd": "0.3"}
    assert extract_kpis(result, {}) == {}


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _get_kpi(None, "cd"), "_get_kpi\\(\\) argument 'result' must be dict, not None"),
        (lambda: _get_kpi({}, 1), "argument 'kpi' must be str, not int"),
        (lambda: extract_kpis([], {}), "argument 'result' must be dict, not list"),
        (lambda: extract_kpis({}, "cd"), "argument 'kpis' must be dict, list or tuple, not str"),
        (lambda: extract_kpis({}, {1: {}}), "argument 'kpis' must be a collection of str KPI keys"),
    ],
)
def test_argument_types(call, message):
    with pytest.raises(TypeError, match=message):
        call()


keys = st.sampled_from(["cd", "Cd", "CD", "cl", "kpis", "KPIS", "lateral_g"])
values = st.one_of(st.none(), st.sampled_from([0.3, -1, "0.5", "n/a", True, [1]]))
results = st.dictionaries(keys, st.one_of(values, st.dictionaries(keys, values, max_size=4)), max_size=6)


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(results, st.lists(st.sampled_from(["cd", "CL", "lateral_g"]), unique=True))
def test_extract_and_get_match_alike(result, kpis):
    extracted = extract_kpis(result, kpis)
    for kpi in kpis:
        found = _get_kpi(result, kpi)
        if kpi in extracted:
            assert extracted[kpi] is found
        else:
            assert found is None or not _converts(found)


def _converts(value) -> bool:
    try:
        float(value)
    except (TypeError, ValueError):
        return False
    return True

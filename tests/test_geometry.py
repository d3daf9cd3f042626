"""Spatial references, datum transformations and quantization settings."""
import gc
import math

import _tolmirkenvor as tk
import pytest


def test_spatial_reference_defaults_and_wgs84():
    sr = tk.SpatialReference()
    assert (sr.wkid, sr.latestWkid, sr.vcsWkid, sr.latestVcsWkid, sr.wkt) == (0, 0, 0, 0, "")
    w = tk.SpatialReference.WGS84()
    assert (w.wkid, w.latestWkid, w.vcsWkid, w.latestVcsWkid, w.wkt) == (4326, 0, 0, 0, "")
    # Each call gives an independent record.
    w.wkid = 3857
    assert tk.SpatialReference.WGS84().wkid == 4326


@pytest.mark.parametrize("name", ["wkid", "latestWkid", "vcsWkid", "latestVcsWkid"])
def test_spatial_reference_ids_are_int32(name):
    sr = tk.SpatialReference()
    setattr(sr, name, -(2**31))
    assert getattr(sr, name) == -(2**31)
    setattr(sr, name, 2**31 - 1)
    with pytest.raises(TypeError):
        setattr(sr, name, 2**31)
    assert getattr(sr, name) == 2**31 - 1


def test_spatial_reference_wkt_round_trips_unicode():
    sr = tk.SpatialReference()
    sr.wkt = 'GEOGCS["Zürich"]'
    assert sr.wkt == 'GEOGCS["Zürich"]'


def test_datum_transformation_defaults():
    dt = tk.DatumTransformation()
    assert dt.wkid == 0
    assert dt.transform_direction == ""
    assert dt.transform_json == ""
    assert dt.from_spatial_reference.wkid == 0
    assert dt.to_spatial_reference.wkt == ""
    assert not hasattr(dt, "wkt")


@pytest.mark.parametrize("member", ["from_spatial_reference", "to_spatial_reference"])
def test_datum_transformation_reads_view_assigns_copy(member):
    dt = tk.DatumTransformation()
    view = getattr(dt, member)
    view.wkid = 4326
    assert getattr(dt, member).wkid == 4326

    sr = tk.SpatialReference()
    sr.wkid = 3857
    setattr(dt, member, sr)
    sr.wkid = 1
    assert getattr(dt, member).wkid == 3857
    # The earlier view refers to the member, not to what was assigned.
    assert view.wkid == 3857

    other = "to_spatial_reference" if member == "from_spatial_reference" else "from_spatial_reference"
    assert getattr(dt, other).wkid == 0


def test_view_keeps_owner_alive():
    dt = tk.DatumTransformation()
    view = dt.from_spatial_reference
    view.wkid = 7
    del dt
    gc.collect()
    assert view.wkid == 7

    oq = tk.OutputQuantizationParameters()
    extent = oq.extent
    del oq
    gc.collect()
    extent.xmin = 1.0
    assert extent.xmin == 1.0


def test_input_quantization_defaults():
    p = tk.InputQuantizationParameters()
    assert math.isnan(p.xy_resolution)
    assert (p.x_false_origin, p.y_false_origin, p.z_false_origin, p.m_false_origin) == (0, 0, 0, 0)
    assert p.z_resolution == 0.00001
    assert p.m_resolution == 0.00001


def test_input_quantization_wgs84_lossless():
    p = tk.InputQuantizationParameters.WGS84_lossless()
    assert p.xy_resolution == 0.000000001
    assert p.z_resolution == 0.00001
    assert p.m_resolution == 0.00001
    assert (p.x_false_origin, p.y_false_origin, p.z_false_origin, p.m_false_origin) == (0, 0, 0, 0)
    p.xy_resolution = 0.5
    assert tk.InputQuantizationParameters.WGS84_lossless().xy_resolution == 0.000000001


@pytest.mark.parametrize(
    "name",
    ["xy_resolution", "x_false_origin", "y_false_origin", "z_resolution", "z_false_origin", "m_resolution",
     "m_false_origin"],
)
def test_input_quantization_fields_are_independent(name):
    p = tk.InputQuantizationParameters()
    setattr(p, name, 12.5)
    assert getattr(p, name) == 12.5
    fresh = tk.InputQuantizationParameters()
    for other in ["x_false_origin", "y_false_origin", "z_resolution", "z_false_origin", "m_resolution",
                  "m_false_origin"]:
        if other != name:
            assert getattr(p, other) == getattr(fresh, other)


def test_envelope_defaults():
    e = tk.Envelope()
    assert all(math.isnan(getattr(e, k)) for k in ("xmin", "ymin", "xmax", "ymax"))
    assert e.empty()


@pytest.mark.parametrize("nan_field", [None, "xmin", "ymin", "xmax", "ymax"])
def test_envelope_empty_when_any_value_is_nan(nan_field):
    e = tk.Envelope()
    e.xmin, e.ymin, e.xmax, e.ymax = 0.0, 1.0, 2.0, 3.0
    # Each property reaches its own field.
    assert (e.xmin, e.ymin, e.xmax, e.ymax) == (0.0, 1.0, 2.0, 3.0)
    if nan_field:
        setattr(e, nan_field, float("nan"))
    assert e.empty() == (nan_field is not None)


def test_quantize_mode_enum():
    assert int(tk.vexoQuantizeMode.view) == 0
    assert int(tk.vexoQuantizeMode.edit) == 1
    assert list(tk.vexoQuantizeMode.__members__) == ["edit", "view"]
    assert tk.view == tk.vexoQuantizeMode.view
    assert tk.edit == tk.vexoQuantizeMode.edit
    assert str(tk.edit) == "vexoQuantizeMode.edit"


def test_output_quantization_defaults():
    oq = tk.OutputQuantizationParameters()
    assert oq.quantize_mode == tk.vexoQuantizeMode.edit
    assert oq.tolerance == 0
    assert oq.extent.empty()


def test_output_quantization_extent_view_and_copy():
    oq = tk.OutputQuantizationParameters()
    oq.extent.xmin = 5.0
    assert oq.extent.xmin == 5.0

    e = tk.Envelope()
    e.xmin, e.ymin, e.xmax, e.ymax = 0.0, 0.0, 10.0, 10.0
    oq.extent = e
    e.xmax = 99.0
    assert (oq.extent.xmin, oq.extent.ymin, oq.extent.xmax, oq.extent.ymax) == (0.0, 0.0, 10.0, 10.0)
    assert not oq.extent.empty()

    oq.quantize_mode = tk.view
    oq.tolerance = 0.25
    assert (oq.quantize_mode, oq.tolerance) == (tk.vexoQuantizeMode.view, 0.25)


def test_records_reject_wrong_types():
    with pytest.raises(TypeError):
        tk.OutputQuantizationParameters().extent = tk.SpatialReference()
    with pytest.raises(TypeError):
        tk.DatumTransformation().from_spatial_reference = tk.Envelope()
    with pytest.raises(TypeError):
        tk.OutputQuantizationParameters().quantize_mode = 1

"""GraphSearchRequestEncoder: request bytes read back with the protobuf runtime."""
import math

import _tolmirkenvor as tk
import pytest
from encoding import encode_error, encode_ok
from pbgen import pb


def parse(raw):
    return pb.graph_query_pb2.GraphSearchRequest.FromString(raw)


def new_encoder(query="river"):
    enc = tk.GraphSearchRequestEncoder()
    enc.search_query = query
    return enc


def polyline():
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPolyline
    g.coords = [13.25, 52.5, 13.5, 52.75]
    g.lengths = [2]
    return g


def test_defaults():
    enc = tk.GraphSearchRequestEncoder()
    assert enc.get_encoding_result() is None
    assert enc.search_query == "" and enc.return_geometry is True and enc.return_search_context is False
    assert enc.type_category_filter == tk.entity and enc.spatial_filter_relation == tk.intersects
    assert enc.named_types_filter == [] and enc.ids_filter.count() == 0
    assert enc.spatial_filter_geometry is None
    assert (enc.start_index, enc.max_num_results) == (0, 0)


def test_empty_query():
    assert encode_error(tk.GraphSearchRequestEncoder()) == (-1, "Empty search query.")


def test_query_text_only_exact_bytes():
    # fields 1, 4 = 1, 6 empty, 9 = true, 10 = 1, in field-number order
    assert encode_ok(new_encoder("q")) == b"\x0a\x01q\x20\x01\x32\x00\x48\x01\x50\x01"


@pytest.mark.parametrize("category, wire", [("entity", 1), ("relationship", 2), ("both", 3)])
def test_category_wire_values(category, wire):
    enc = new_encoder()
    enc.type_category_filter = getattr(tk, category)
    assert parse(encode_ok(enc)).type_category_filter == wire


@pytest.mark.parametrize("name, number", [
    ("intersects", 0), ("contains", 1), ("crosses", 2), ("envelope-intersects", 3),
    ("index-intersects", 4), ("overlaps", 5), ("touches", 6), ("within", 7)])
def test_relation_wire_values(name, number):
    enc = new_encoder()
    enc.spatial_filter_relation = getattr(tk.vexoSpatialRelation, name)
    assert getattr(tk, name) == enc.spatial_filter_relation
    assert parse(encode_ok(enc)).spatial_filter_relation == number


@pytest.mark.parametrize("attribute, value", [
    ("type_category_filter", lambda: tk.vexoNamedTypeCategory(3)),
    ("type_category_filter", lambda: tk.vexoNamedTypeCategory(0)),
    ("spatial_filter_relation", lambda: tk.vexoSpatialRelation(8)),
    ("spatial_filter_relation", lambda: tk.vexoSpatialRelation(-1)),
])
def test_numbers_without_wire_value(attribute, value):
    enc = new_encoder()
    setattr(enc, attribute, value())
    assert encode_error(enc) == (-1, "Not implemented.")


def test_named_types_filter_changes_only_by_assignment():
    enc = new_encoder()
    enc.named_types_filter.append("Ignored")
    assert parse(encode_ok(enc)).named_type_filter == []
    enc.named_types_filter = ["Person", "Place"]
    assert list(parse(encode_ok(enc)).named_type_filter) == ["Person", "Place"]


def test_ids_filter():
    enc = new_encoder()
    raw = encode_ok(enc)
    assert not parse(raw).HasField("ids_filter")
    ids = enc.ids_filter
    assert ids is enc.ids_filter
    ids.add_value(1)
    ids.add_value("b")
    ids.add_value(2)
    values = parse(encode_ok(enc)).ids_filter.any_values.values
    assert [v.primitive_value.WhichOneof("value") for v in values] == ["int64_value", "string_value", "int64_value"]
    assert (values[0].primitive_value.int64_value, values[1].primitive_value.string_value) == (1, "b")
    assert ids.count() == 3


@pytest.mark.parametrize("bad, expected", [
    (tk.PathValue, (-1, "Not implemented.")),
    (polyline, (-1, "Geometry quantization not possible without valid spatial reference info. "
                    "Maybe XY resolution was not set?")),
])
def test_ids_filter_value_that_cannot_be_encoded(bad, expected):
    enc = new_encoder()
    enc.ids_filter.add_value(bad())
    assert encode_error(enc) == expected


def test_paging_bytes():
    enc = new_encoder()
    enc.max_num_results = 10
    enc.start_index = -3
    raw = encode_ok(enc)
    assert b"\x80\x01\x14" in raw
    request = parse(raw)
    assert (request.start_index, request.max_num_results) == (-3, 10)


def test_flags():
    enc = new_encoder()
    enc.return_geometry = False
    enc.return_search_context = True
    enc.apply_vcs_projection = True
    request = parse(encode_ok(enc))
    assert (request.return_geometry, request.return_search_context, request.apply_vcs_projection) == (
        False, True, True)


def test_spatial_filter_needs_resolution():
    enc = new_encoder()
    enc.spatial_filter_geometry = polyline()
    assert encode_error(enc) == (-1, "Invalid spatial filter geometry provided.")


def test_spatial_filter_with_lossless_parameters():
    enc = new_encoder()
    g = polyline()
    enc.spatial_filter_geometry = g
    assert enc.spatial_filter_geometry is g
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    enc.spatial_filter_relation = tk.within
    raw = encode_ok(enc)
    request = parse(raw)
    dg = request.spatial_filter_geometry.default_geometry
    assert list(dg.lengths) == [2]
    assert list(dg.coords) == [13250000000, 52500000000, 250000000, 250000000]
    assert request.input_transform.scale.xScale == 1e-9
    assert request.input_transform.HasField("translate")
    assert request.spatial_filter_relation == 7
    # shared with the caller, never changed: encoding again gives the same bytes
    assert g.coords == [13.25, 52.5, 13.5, 52.75]
    assert encode_ok(enc) == raw
    enc.spatial_filter_geometry = None
    assert not parse(encode_ok(enc)).HasField("spatial_filter_geometry")


@pytest.mark.parametrize("kind, coords, lengths, message", [
    (tk.vexoGeometryMultiPatch, [0.0, 0.0, 1.0, 1.0], [2], "Invalid spatial filter geometry provided."),
    (tk.vexoGeometryPolygon, [0.0, 0.0, 1.0, 1.0], [3], "Invalid geometry."),
    (tk.vexoGeometryPoint, [1.0], [1], "Invalid geometry."),
    (tk.vexoGeometryNull, [], [], "unsupported geometry type"),
])
def test_bad_spatial_filter(kind, coords, lengths, message):
    enc = new_encoder()
    enc.input_quantization_parameters.xy_resolution = 1.0
    g = tk.GeometryValue()
    g.geometry_type = kind
    g.coords = coords
    g.lengths = lengths
    enc.spatial_filter_geometry = g
    assert encode_error(enc) == (-1, message)


def test_zero_resolution():
    enc = new_encoder()
    enc.input_quantization_parameters.xy_resolution = 0.0
    assert encode_error(enc) == (-998, "cannot divide 1 by 0.")


def test_input_spatial_reference_reads_as_copy():
    enc = new_encoder()
    enc.input_spatial_reference.wkid = 4326
    assert enc.input_spatial_reference.wkid == 0
    assert not parse(encode_ok(enc)).HasField("input_spatial_reference")
    enc.input_spatial_reference = tk.SpatialReference.WGS84()
    assert parse(encode_ok(enc)).input_spatial_reference.wkid == 4326


def test_output_spatial_reference_reads_as_view():
    enc = new_encoder()
    enc.output_spatial_reference.wkid = 3857
    assert parse(encode_ok(enc)).output_spatial_reference.wkid == 3857


def test_output_settings():
    enc = new_encoder()
    enc.datum_transformation.wkid = 1241
    oqp = enc.output_quantization_parameters
    oqp.extent.xmin, oqp.extent.ymin, oqp.extent.xmax, oqp.extent.ymax = 0.0, 0.0, 10.0, 10.0
    request = parse(encode_ok(enc))
    assert request.datum_transformation.wkid == 1241
    assert request.output_quantization_parameters.extent.xmax == 10.0
    oqp.extent.xmin = math.nan
    assert not parse(encode_ok(enc)).HasField("output_quantization_parameters")


def test_result_view_follows_later_encodes():
    enc = new_encoder()
    encode_ok(enc)
    view = enc.get_encoding_result()
    enc.search_query = ""
    enc.encode()
    assert (view.error.error_code, view.error.error_message, view.byte_buffer) == (-1, "Empty search query.", b"")

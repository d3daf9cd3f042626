"""GraphQueryRequestEncoder: request bytes read back with the protobuf runtime."""
import math

import _tolmirkenvor as tk
import pytest
from encoding import encode_error, encode_ok
from pbgen import pb


def parse(raw):
    return pb.graph_query_pb2.GraphQueryRequest.FromString(raw)


def new_encoder(query="MATCH (n) RETURN n"):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = query
    return enc


def test_no_result_before_encode():
    assert tk.GraphQueryRequestEncoder().get_encoding_result() is None


def test_query_text_only_exact_bytes():
    raw = encode_ok(new_encoder("RETURN 1"))
    # field 1, field 3 = vexoDefault, empty input_transform (field 8)
    assert raw == b"\x0a\x08RETURN 1\x18\x01\x42\x00"


def test_empty_query():
    assert encode_error(tk.GraphQueryRequestEncoder()) == (-1, "Empty openCypher query.")


def test_empty_query_is_reported_before_anything_else():
    enc = tk.GraphQueryRequestEncoder()
    enc.input_quantization_parameters.xy_resolution = 0.0
    enc.set_param_key_value("p", tk.PathValue())
    assert encode_error(enc) == (-1, "Empty openCypher query.")


def test_zero_resolution_is_reported_before_parameters():
    enc = new_encoder()
    enc.input_quantization_parameters.xy_resolution = 0.0
    enc.set_param_key_value("p", tk.PathValue())
    assert encode_error(enc) == (-998, "cannot divide 1 by 0.")


def test_parameters_in_map():
    enc = new_encoder()
    assert enc.set_param_key_value("name", "Ann")
    assert enc.append_param_key_value("n\u00e4me", 3)
    assert enc.param_count() == 2
    params = parse(encode_ok(enc)).parameters
    assert set(params) == {"name", "n\u00e4me"}
    assert params["name"].primitive_value.string_value == "Ann"
    assert params["n\u00e4me"].primitive_value.int64_value == 3


def test_duplicate_names_through_append_fail():
    enc = new_encoder()
    enc.append_param_key_value("a", 1)
    enc.append_param_key_value("b", 2)
    enc.append_param_key_value("a", 3)
    assert encode_error(enc) == (-1, "Encountered duplicate bind parameter names.")


def test_set_replaces_instead_of_duplicating():
    enc = new_encoder()
    assert enc.set_param_key_value("a", 1)
    assert enc.set_param_key_value("a", 3)
    assert enc.param_count() == 1
    assert parse(encode_ok(enc)).parameters["a"].primitive_value.int64_value == 3


@pytest.mark.parametrize("call", [
    lambda enc: enc.set_param_key_value("", 1),
    lambda enc: enc.append_param_key_value("", 1),
    lambda enc: enc.put_param_value_at(1, 1),  # index == count
    lambda enc: enc.put_param_value_at(-1, 1),
])
def test_refused_parameter_changes(call):
    enc = new_encoder()
    enc.set_param_key_value("a", 1)
    assert call(enc) is False
    assert enc.param_count() == 1
    assert parse(encode_ok(enc)).parameters["a"].primitive_value.int64_value == 1


def test_put_and_clear():
    enc = new_encoder()
    enc.append_param_key_value("a", 1)
    enc.append_param_key_value("b", 2)
    assert enc.put_param_value_at(1, "two")
    assert parse(encode_ok(enc)).parameters["b"].primitive_value.string_value == "two"
    enc.clear_params()
    assert enc.param_count() == 0
    assert len(parse(encode_ok(enc)).parameters) == 0


def test_bad_parameter_fails_whole_request():
    enc = new_encoder()
    enc.append_param_key_value("ok", 1)
    enc.append_param_key_value("bad", tk.PathValue())
    assert encode_error(enc) == (-1, "Not implemented.")


def test_encode_twice_gives_same_bytes():
    enc = new_encoder()
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    obj = tk.ObjectValue()
    obj.set_key_value("x", 1.5)
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPoint
    g.coords = [13.4, 52.5]
    g.lengths = [1]
    enc.set_param_key_value("obj", obj)
    enc.set_param_key_value("geo", g)
    enc.set_param_key_value("s", "text")
    first = encode_ok(enc)
    assert encode_ok(enc) == first
    assert enc.param_count() == 3
    assert obj.key_count() == 1 and g.coords == [13.4, 52.5]


def test_result_view_follows_later_encodes():
    enc = new_encoder()
    encode_ok(enc)
    view = enc.get_encoding_result()
    assert view.byte_buffer != b""
    enc.open_cypher_query = ""
    enc.encode()
    assert (view.error.error_code, view.error.error_message) == (-1, "Empty openCypher query.")
    assert view.byte_buffer == b""
    enc.open_cypher_query = "RETURN 2"
    enc.encode()
    assert view.error.empty() and parse(view.byte_buffer).open_cypher_query == "RETURN 2"


def test_geometry_without_resolution():
    enc = new_encoder()
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPoint
    g.coords = [1.0, 2.0]
    enc.set_param_key_value("g", g)
    assert encode_error(enc) == (-1, "Geometry quantization not possible without valid spatial reference info. "
                                     "Maybe XY resolution was not set?")


def test_input_transform():
    enc = new_encoder()
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    t = parse(encode_ok(enc)).input_transform
    assert (t.scale.xScale, t.scale.yScale, t.scale.zScale) == (1e-9, 1e-9, 1e-5)
    # reading gives a view: changes through it reach the request
    enc.input_quantization_parameters.xy_resolution = 0.5
    enc.input_quantization_parameters.x_false_origin = -10.0
    t = parse(encode_ok(enc)).input_transform
    assert (t.scale.xScale, t.translate.xTranslate) == (0.5, -10.0)


def test_output_spatial_reference_view_and_assignment():
    enc = new_encoder()
    assert not parse(encode_ok(enc)).HasField("output_spatial_reference")
    enc.output_spatial_reference.wkid = 3857
    assert parse(encode_ok(enc)).output_spatial_reference.wkid == 3857
    sr = tk.SpatialReference()
    sr.wkt = "PROJCS[...]"
    enc.output_spatial_reference = sr
    sr.wkt = "changed later"
    out = parse(encode_ok(enc)).output_spatial_reference
    assert (out.wkid, out.wkt) == (0, "PROJCS[...]")


def test_datum_transformation():
    enc = new_encoder()
    enc.datum_transformation.transform_json = "{}"
    assert not parse(encode_ok(enc)).HasField("datum_transformation")  # wkid 0, no wkt: not set
    enc.datum_transformation.wkid = 1241
    dt = parse(encode_ok(enc)).datum_transformation
    assert dt.wkid == 1241 and dt.transformJson == "{}"
    assert dt.HasField("fromSpatialReference") and dt.HasField("toSpatialReference")


def test_output_quantization_parameters():
    enc = new_encoder()
    oqp = enc.output_quantization_parameters
    oqp.quantize_mode = tk.view
    oqp.tolerance = 0.5
    oqp.extent.xmin, oqp.extent.ymin, oqp.extent.xmax, oqp.extent.ymax = 0.0, 1.0, 10.0, 11.0
    q = parse(encode_ok(enc)).output_quantization_parameters
    assert (q.extent.xmin, q.extent.xmax, q.extent.ymin, q.extent.ymax) == (0.0, 10.0, 1.0, 11.0)
    assert q.mode == 0 and q.tolerance == 0.5
    oqp.extent.ymax = math.nan
    assert not parse(encode_ok(enc)).HasField("output_quantization_parameters")


def test_apply_vcs_projection():
    enc = new_encoder()
    enc.apply_vcs_projection = True
    assert parse(encode_ok(enc)).apply_vcs_projection is True

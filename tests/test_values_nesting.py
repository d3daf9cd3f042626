"""How deep values nest on the wire: every body the encoders write must parse
with a reader at protobuf's default recursion limit (100), the Google Python
runtime and the module's own decoders alike."""
import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import delimited, header, varint

# compound levels the encoders write; one more is refused
DEEPEST = 30


def Q():
    return pb.graph_query_pb2


def E():
    return pb.graph_edits_pb2


def point():
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPoint
    g.lengths = [1]
    g.coords = [1.0, 2.0]
    return g


def nested(levels, kinds=("array", "object", "entity")):
    """levels compound values, one inside the next; the innermost holds a
    point geometry (the longest message chain a leaf adds)."""
    value = point()
    for level in range(levels):
        kind = kinds[level % len(kinds)]
        if kind == "array":
            outer = tk.ArrayValue()
            outer.add_value(value)
        elif kind == "object":
            outer = tk.ObjectValue()
            outer.set_key_value("o", value)
        elif kind == "entity":
            outer = tk.EntityValue()
            outer.type_name = "E"
            outer.set_key_value("e", value)
        else:
            outer = tk.RelationshipValue()
            outer.type_name = "R"
            outer.set_key_value("r", value)
        value = outer
    return value


def query_body(value):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "RETURN $p"
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    enc.set_param_key_value("p", value)
    enc.encode()
    return enc.get_encoding_result()


def levels_of(structure):
    """Compound levels of a plain structure from to_value_object or a row."""
    n = 0
    while True:
        if isinstance(structure, list):
            structure = structure[0]
        elif isinstance(structure, dict) and structure.get("_objectType") != "geometry":
            structure = next(iter(structure["_properties"].values()))
        else:
            assert structure["_objectType"] == "geometry" and structure["x"] == pytest.approx(1.0)
            return n
        n += 1


KINDS = [("array",), ("object",), ("entity",), ("relationship",), ("array", "object", "entity")]


@pytest.mark.parametrize("kinds", KINDS, ids=["-".join(k) for k in KINDS])
def test_deepest_accepted_value_parses_with_the_protobuf_runtime(kinds):
    result = query_body(nested(DEEPEST, kinds))
    assert result.error.empty(), result.error.error_message
    request = Q().GraphQueryRequest.FromString(result.byte_buffer)  # raises past the recursion limit
    assert request.parameters["p"].WhichOneof("value") in ("array_value", "object_value", "entity_value",
                                                         "relationship_value")


@pytest.mark.parametrize("kinds", KINDS, ids=["-".join(k) for k in KINDS])
@pytest.mark.parametrize("levels", [DEEPEST + 1, DEEPEST + 10, 100])
def test_deeper_values_are_refused(kinds, levels):
    result = query_body(nested(levels, kinds))
    assert (result.error.error_code, result.error.error_message) == (-1, "Invalid argument.")
    assert result.byte_buffer == b""


def test_twenty_levels_keep_working():
    result = query_body(nested(20))
    assert result.error.empty()
    Q().GraphQueryRequest.FromString(result.byte_buffer)


def _row_stream(any_value_bytes):
    """A result stream of one row holding the given AnyValue bytes, with the
    grid the request used (1e-9 units)."""
    row = b"\x0a" + varint(len(any_value_bytes)) + any_value_bytes
    frame = b"\x12" + varint(len(row)) + row
    return delimited(header(["v"], scale=(1e-9, 1e-9, 1e-5, 1e-5))) + delimited(frame)


@pytest.mark.parametrize("kinds", KINDS, ids=["-".join(k) for k in KINDS])
def test_deepest_accepted_value_reads_back_with_the_query_decoder(kinds):
    result = query_body(nested(DEEPEST, kinds))
    param = Q().GraphQueryRequest.FromString(result.byte_buffer).parameters["p"]
    stream = _row_stream(param.SerializeToString())

    d = tk.GraphQueryDecoder()
    d.push_buffer(stream)
    assert d.next_row(), d.error.error_message
    assert levels_of(d.get_current_row()[0]) == DEEPEST
    # and as bound objects
    d = tk.GraphQueryDecoder()
    d.push_buffer(stream)
    assert d.next_row()
    assert levels_of(tk.to_value_object(d.get_value(0))) == DEEPEST


def test_deepest_accepted_property_value_in_an_edit_parses():
    # an edit's property values sit one level deeper than bind parameters
    entity = tk.EntityValue()
    entity.type_name = "T"
    entity.set_key_value("deep", nested(DEEPEST - 1))
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference.WGS84(), tk.InputQuantizationParameters.WGS84_lossless())
    enc.add(entity)
    enc.encode()
    result = enc.get_encoding_result()
    assert result.error.empty(), result.error.error_message
    body = result.byte_buffer
    # header, then frames, each length-prefixed: every frame must parse
    pos, messages = 0, []
    while pos < len(body):
        n, shift = 0, 0
        while True:
            b = body[pos]
            pos += 1
            n |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                break
        messages.append(body[pos:pos + n])
        pos += n
    E().GraphApplyEditsHeader.FromString(messages[0])
    frames = [E().GraphApplyEditsFrame.FromString(m) for m in messages[1:]]
    adds = frames[0].adds.entities["T"].entity_adds[0].named_object_add
    assert adds.properties[0].key == "deep"

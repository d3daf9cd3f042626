"""GraphSearchRequestEncoder refuses text a conforming reader would refuse."""
import _tolmirkenvor as tk
import pytest
from encoding import encode_error, encode_ok
from pbgen import pb

BAD = [b"\xff", b"abc\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc1\xbf"]


def parse(raw):
    return pb.graph_query_pb2.GraphSearchRequest.FromString(raw)


@pytest.mark.parametrize("text", BAD)
def test_search_query_not_utf8(text):
    enc = tk.GraphSearchRequestEncoder()
    enc.search_query = text
    assert encode_error(enc) == (-1, "Invalid argument.")
    enc.search_query = "fine"
    assert parse(encode_ok(enc)).search_query == "fine"


@pytest.mark.parametrize("text", BAD)
def test_named_type_filter_not_utf8(text):
    enc = tk.GraphSearchRequestEncoder()
    enc.search_query = "q"
    enc.named_types_filter = ["Person", text]
    assert encode_error(enc) == (-1, "Invalid argument.")
    enc.named_types_filter = ["Person", "Straße".encode()]
    assert list(parse(encode_ok(enc)).named_type_filter) == ["Person", "Straße"]


def test_empty_query_still_reported_first():
    enc = tk.GraphSearchRequestEncoder()
    enc.named_types_filter = [b"\xff"]
    assert encode_error(enc) == (-1, "Empty search query.")


def test_spatial_filter_geometry_reads_none_when_unset():
    enc = tk.GraphSearchRequestEncoder()
    assert enc.spatial_filter_geometry is None
    assert "None" in type(enc).spatial_filter_geometry.__doc__

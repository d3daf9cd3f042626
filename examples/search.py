"""The search road: a full-text search narrowed by category, named types,
identifiers and a spatial filter, with paging; then the two mistakes
encode() reports instead of raising.

    python3 examples/search.py
"""
from __future__ import annotations

import uuid

import _tolmirkenvor as tk


def polygon(ring: list[tuple[float, float]]) -> tk.GeometryValue:
    geometry = tk.GeometryValue()
    geometry.geometry_type = tk.vexoGeometryPolygon
    geometry.lengths = [len(ring)]
    geometry.coords = [c for vertex in ring for c in vertex]
    return geometry


def outcome(enc: tk.GraphSearchRequestEncoder) -> str:
    enc.encode()
    result = enc.get_encoding_result()
    if result is None:
        return "nothing encoded"
    if result.error.empty():
        return f"{len(result.byte_buffer)} bytes"
    return f"error {result.error.error_code} {result.error.error_message!r}"


def main() -> None:
    enc = tk.GraphSearchRequestEncoder()
    print("a new encoder has no result:", enc.get_encoding_result())
    enc.search_query = "Ann OR Bo"
    enc.type_category_filter = tk.both
    enc.named_types_filter = ["Person", "Company"]
    # ids_filter is the encoder's own array: fill it in place.
    enc.ids_filter.add_value(uuid.UUID(int=1))
    enc.ids_filter.add_value(uuid.UUID(int=2))
    enc.start_index = 0
    enc.max_num_results = 25
    enc.return_geometry = True
    enc.return_search_context = True
    print("search request:", outcome(enc))

    # The spatial filter is quantized with the input quantization parameters,
    # which have no grid until they are set.
    enc.spatial_filter_geometry = polygon([(13.0, 52.0), (14.0, 52.0), (14.0, 53.0), (13.0, 52.0)])
    enc.spatial_filter_relation = tk.within
    print("with a spatial filter, no grid:", outcome(enc))
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    enc.input_spatial_reference = tk.SpatialReference.WGS84()
    enc.output_spatial_reference = tk.SpatialReference.WGS84()
    print("with a spatial filter on the WGS84 grid:", outcome(enc))

    # Two relation names hold a hyphen; getattr reaches them.
    enc.spatial_filter_relation = getattr(tk.vexoSpatialRelation, "envelope-intersects")
    print(f"relation {enc.spatial_filter_relation.name} (value {int(enc.spatial_filter_relation)}):", outcome(enc))

    enc.search_query = ""
    print("with an empty query:", outcome(enc))


if __name__ == "__main__":
    main()

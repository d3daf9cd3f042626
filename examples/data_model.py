"""The data-model road: decode the service's data model
(examples/data/data_model.bin), walk and look up its types, properties and
search indexes, and turn it, or any value, into plain dictionaries.

    python3 examples/data_model.py
"""
from __future__ import annotations

import datetime
import json
import pathlib
import uuid
from typing import Any

import _tolmirkenvor as tk

DATA = pathlib.Path(__file__).resolve().parent / "data"


def to_json(value: Any) -> str:
    """JSON text of a plain structure; what JSON cannot hold becomes text."""
    def fallback(item: Any) -> str:
        if isinstance(item, (datetime.datetime, uuid.UUID)):
            return str(item)
        raise TypeError(type(item).__name__)

    return json.dumps(value, default=fallback)


def walk(model: tk.DataModel) -> None:
    print(f"timestamp {model.timestamp} (local time), spatial reference wkid {model.spatial_reference.wkid}")
    for entity_type in model.entity_types:
        props = ", ".join(f"{p.name}: {p.field_type.name}" for p in entity_type.properties)
        print(f"entity type {entity_type.name} ({entity_type.alias or 'no alias'}): {props}")
    for rel_type in model.relationship_types:
        ends = ", ".join(f"{e['origin_entity_type']} -> {e['dest_entity_type']}" for e in rel_type.end_points)
        print(f"relationship type {rel_type.name}: {ends}")
    mapping = model.identifier_info.identifier_mapping_info
    uniform = mapping.uniform_property_identifier
    print("identifiers:", mapping.identifier_info_type.name,
          uniform.identifier_property_name if uniform is not None else "(database native)",
          model.identifier_info.identifier_generation_info.uuid_method_hint.name)


def look_up(model: tk.DataModel) -> None:
    person = model.query_entity_type("Person")
    if person is None:
        raise SystemExit("no Person type")
    home = person.get_property("home")
    if home is not None:
        print(f"Person.home: {home.field_type.name}, {home.geometry_type.name}, nullable {home.nullable}")
    age = person.get_property("age")
    if age is not None:
        print(f"Person.age: default value {age.default_value!r}")
    print("lookups are exact:", model.query_entity_type("person"), person.get_property("Name"))
    works_at = model.query_relationship_type("WORKS_AT")
    if works_at is not None:
        print("WORKS_AT end point 0:", works_at.get_end_point(0))
    index = model.query_search_index("people")
    if index is not None:
        indexed = index.query_search_property("Person")
        print(f"search index {index.name}: {index.supported_category.name},",
              "analyzers", [a.name for a in index.analyzers],
              "Person properties", indexed.property_names if indexed is not None else [])


def as_dicts(model: tk.DataModel) -> None:
    tree: dict[str, Any] = model.to_value_object()
    print("to_value_object() keys:", list(tree))
    print("first property:", to_json(tree["entity_types"][0]["properties"][0]))
    # A property dictionary of the model is also a valid schema-edit input.
    enc = tk.GraphPropertyAddsRequestEncoder()
    for prop in tree["entity_types"][0]["properties"]:
        enc.add_property(prop)
    enc.encode()
    result = enc.get_encoding_result()
    if result is not None:
        print(f"Person's properties as a property-adds request: {len(result.byte_buffer)} bytes,",
              f"error {result.error.error_code}")


def values() -> None:
    person = tk.EntityValue()
    person.type_name = "Person"
    person.set_id(uuid.UUID(int=1))
    person.set_key_value("name", "Ann")
    tags = tk.ArrayValue()  # a Python list is no value; an ArrayValue is
    tags.values = ["a", "b"]
    person.set_key_value("tags", tags)
    print("to_value_object(entity):", to_json(tk.to_value_object(person)))
    when = datetime.datetime(2024, 5, 6, 7, 8, 9)
    print("a naive date-time comes back unchanged:", tk.to_value_object(when) == when)


def main() -> None:
    model = tk.decode_data_model_from_protocol_buffer((DATA / "data_model.bin").read_bytes())
    if model is None:
        raise SystemExit("the data model did not decode")
    walk(model)
    look_up(model)
    as_dicts(model)
    values()
    print("a damaged body decodes to:", tk.decode_data_model_from_protocol_buffer(b"\x0a\xff"))


if __name__ == "__main__":
    main()

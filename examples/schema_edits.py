"""The schema-edit road: requests that add named types, update one under a
mask, add, update and delete properties; then the service's answers
(examples/data/*_result.bin) read as dicts.

    python3 examples/schema_edits.py
"""
from __future__ import annotations

import pathlib
from typing import Any, Union

import _tolmirkenvor as tk

DATA = pathlib.Path(__file__).resolve().parent / "data"

Encoder = Union[
    tk.GraphNamedObjectTypeAddsRequestEncoder,
    tk.GraphNamedObjectTypeUpdateRequestEncoder,
    tk.GraphPropertyAddsRequestEncoder,
    tk.GraphPropertyUpdateRequestEncoder,
    tk.GraphPropertyDeleteRequestEncoder,
]


def outcome(enc: Encoder) -> str:
    enc.encode()
    result = enc.get_encoding_result()
    if result is None:
        return "nothing encoded"
    if result.error.empty():
        return f"{len(result.byte_buffer)} bytes"
    return f"error {result.error.error_code} {result.error.error_message!r}"


# A property dictionary: every key is optional, but the flags default to False,
# so a property without "nullable", "editable" and "visible" is sent as not
# nullable, not editable and hidden.
NAME: dict[str, Any] = {
    "name": "name",
    "alias": "Name",
    "fieldType": "vexoFieldTypeString",
    "nullable": False,
    "editable": True,
    "visible": True,
    "required": True,
    "role": "vexoGraphPropertyRegular",
}
HOME: dict[str, Any] = {
    "name": "home",
    "fieldType": "vexoFieldTypeGeometry",
    "geometryType": "vexoGeometryPoint",
    "hasZ": False,
    "nullable": True,
    "editable": True,
    "visible": True,
}


def named_types() -> None:
    adds = tk.GraphNamedObjectTypeAddsRequestEncoder()
    print("adds, empty:", outcome(adds))
    # "properties" maps any key to a property dictionary; each property's
    # name comes from its own "name".
    adds.add_entity_type({"name": "Pet", "alias": "Pets", "role": "vexoGraphNamedObjectRegular",
                          "strict": False, "properties": {"name": NAME, "home": HOME}})
    adds.add_relationship_type({"name": "OWNS", "properties": {}})
    print("adds Pet and OWNS:", outcome(adds))

    update = tk.GraphNamedObjectTypeUpdateRequestEncoder()
    print("update, nothing set:", outcome(update))
    update.update_entity_type({"name": "Pet", "alias": "Animals"}, {"update_alias": True})
    print("update Pet's alias:", outcome(update))
    # The mask flags stay set until a later mask overwrites them.
    update.update_relationship_type({"name": "OWNS", "strict": True}, {"update_strict": True})
    print("update OWNS's strict flag (update_alias still set):", outcome(update))
    try:
        adds.add_entity_type({"name": "Owner", "role": "Owner"})
    except ValueError as exc:
        print("unknown role:", exc)


def properties() -> None:
    adds = tk.GraphPropertyAddsRequestEncoder()
    adds.add_property({"name": "nickname", "fieldType": "vexoFieldTypeString", "defaultValue": "",
                       "nullable": True, "editable": True, "visible": True})
    print("property adds:", outcome(adds))
    try:
        adds.add_property({"name": "x", "fieldType": "vexoFieldTypeText"})
    except ValueError as exc:
        print("unknown field type:", exc)
    big = tk.GraphPropertyAddsRequestEncoder()
    big.add_property({"name": "n", "fieldType": "vexoFieldTypeBigInteger"})
    print("a big integer property:", outcome(big))

    update = tk.GraphPropertyUpdateRequestEncoder()
    update.name = "nickname"
    print("property update, no property yet:", outcome(update))
    update.update_property({"name": "nick", "fieldType": "vexoFieldTypeString", "nullable": True,
                            "editable": True, "visible": True}, {"update_name": True})
    print("property update, rename:", outcome(update))

    delete = tk.GraphPropertyDeleteRequestEncoder()
    print("property delete, no name:", outcome(delete))
    delete.name = "nick"
    print("property delete:", outcome(delete))


def responses() -> None:
    adds = tk.GraphNamedObjectTypeAddsResponseDecoder()
    adds.decode((DATA / "named_type_adds_result.bin").read_bytes())
    named: dict[str, Any] = adds.get_results()
    for key in ("entityAddResults", "relationshipAddResults"):
        for item in named[key]:
            failure = item.get("error")
            status = "ok" if failure is None else f"failed {failure['error_code']} {failure['error_message']}"
            print(f"  {key} {item['name']}: {status}")

    prop_adds = tk.GraphPropertyAddsResponseDecoder()
    prop_adds.decode((DATA / "property_adds_result.bin").read_bytes())
    print("  property adds:", prop_adds.get_results())

    prop_delete = tk.GraphPropertyDeleteResponseDecoder()
    prop_delete.decode((DATA / "property_delete_result.bin").read_bytes())
    print("  property delete:", prop_delete.get_results())

    # An empty body is a valid answer without errors.
    update = tk.GraphNamedObjectTypeUpdateResponseDecoder()
    update.decode(b"")
    print("  named-type update, empty body:", update.get_results())


def main() -> None:
    named_types()
    properties()
    print("responses:")
    responses()


if __name__ == "__main__":
    main()

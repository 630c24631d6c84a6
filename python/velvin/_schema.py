"""Build the small "schema" option from richer descriptions of the expected value."""
from __future__ import annotations

import dataclasses
import typing
from typing import Any, Dict, List, Optional

# JSON Schema type names -> the type names the scorer understands.
_JSON_SCHEMA_TYPES = {
    "integer": "int",
    "number": "float",
    "string": "str",
    "boolean": "bool",
    "null": "null",
    "array": "array",
    "object": "object",
}


def _python_type_name(annotation: Any) -> Optional[str]:
    """The scorer's type name for a Python annotation, or None when no single one fits."""
    origin = typing.get_origin(annotation)
    if origin is typing.Union:
        return None  # Optional[X] and unions admit several kinds of value
    if origin is not None:
        annotation = origin
    if annotation is type(None):
        return "null"
    if annotation is bool:
        return "bool"
    if annotation is int:
        return "int"
    if annotation is float:
        return "float"
    if annotation is str:
        return "str"
    if annotation in (list, tuple, set, frozenset) or annotation is typing.List:
        return "array"
    if annotation is dict or dataclasses.is_dataclass(annotation) or _is_pydantic_model(annotation):
        return "object"
    return None


def _is_pydantic_model(obj: Any) -> bool:
    if not isinstance(obj, type):
        return False
    try:
        import pydantic  # noqa: F401  (optional dependency)
    except ImportError:
        return False
    return any(base.__name__ == "BaseModel" and base.__module__.startswith("pydantic")
               for base in obj.__mro__)


def _from_json_schema(schema: Dict[str, Any]) -> Dict[str, Any]:
    required = [name for name in schema.get("required", []) if isinstance(name, str)]
    types: Dict[str, str] = {}
    properties = schema.get("properties", {})
    if isinstance(properties, dict):
        for name, prop in properties.items():
            kind = prop.get("type") if isinstance(prop, dict) else None
            if isinstance(kind, str) and kind in _JSON_SCHEMA_TYPES:
                types[name] = _JSON_SCHEMA_TYPES[kind]
    return {"required_keys": required, "types": types}


def _from_dataclass(cls: type) -> Dict[str, Any]:
    hints = typing.get_type_hints(cls)
    required: List[str] = []
    types: Dict[str, str] = {}
    for f in dataclasses.fields(cls):
        if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
            required.append(f.name)
        name = _python_type_name(hints.get(f.name, f.type))
        if name is not None:
            types[f.name] = name
    return {"required_keys": required, "types": types}


def _from_pydantic(model: type) -> Dict[str, Any]:
    if hasattr(model, "model_json_schema"):  # pydantic 2
        return _from_json_schema(model.model_json_schema())
    return _from_json_schema(model.schema())  # pydantic 1


def schema_from(obj: Any) -> Dict[str, Any]:
    """The "schema" option for values shaped like `obj`.

    `obj` may be a JSON Schema dict (its "required" list and the "type" of each of its
    "properties"), a dataclass (fields without defaults are required; int, float, str, bool,
    list and dict annotations become types), a pydantic model class, or already a
    {"required_keys": [...], "types": {...}} dict, which is returned as a copy.
    """
    if isinstance(obj, dict):
        if "properties" not in obj and ("required_keys" in obj or "types" in obj):
            return {"required_keys": list(obj.get("required_keys", [])),
                    "types": dict(obj.get("types", {}))}
        return _from_json_schema(obj)
    if dataclasses.is_dataclass(obj):
        return _from_dataclass(obj if isinstance(obj, type) else type(obj))
    if _is_pydantic_model(obj):
        return _from_pydantic(obj)
    raise TypeError(
        "schema_from() takes a JSON Schema dict, a dataclass or a pydantic model class, "
        f"not {type(obj).__name__}"
    )

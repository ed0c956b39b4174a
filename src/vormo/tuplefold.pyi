from typing import Any

class TupleSetHelper:
    @staticmethod
    def _to_tuple_recursive(val: Any) -> Any: ...
    @staticmethod
    def get_tuple_set(ast: Any, data_dict: Any, set_name: Any) -> list[Any]: ...

"""Data access for orders."""


class OrderRepository:
    def __init__(self):
        self._rows: dict[int, dict] = {}

    def get_by_id(self, order_id: int) -> dict | None:
        return self._rows.get(order_id)

    def find_all(self) -> list[dict]:
        return list(self._rows.values())

    def save(self, row: dict) -> dict:
        self._rows[row["id"]] = row
        return row

    def delete(self, order_id: int) -> None:
        self._rows.pop(order_id, None)

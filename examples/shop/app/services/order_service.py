"""Order business rules."""
from app.models import OrderCreate, OrderOut
from app.repositories.order_repository import OrderRepository


class OrderService:
    def __init__(self, repository: OrderRepository | None = None):
        self.repository = repository or OrderRepository()

    def create_order(self, payload: OrderCreate) -> OrderOut:
        total = sum(item.quantity * 100 for item in payload.items)
        row = self.repository.save({"id": len(self.repository.find_all()) + 1, "total_cents": total, "status": "new"})
        return OrderOut(**row)

    def get_order(self, order_id: int) -> OrderOut | None:
        row = self.repository.get_by_id(order_id)
        return OrderOut(**row) if row else None

    def list_orders(self) -> list[OrderOut]:
        return [OrderOut(**row) for row in self.repository.find_all()]

    def update_order(self, order_id: int, status: str) -> OrderOut | None:
        row = self.repository.get_by_id(order_id)
        if row is None:
            return None
        row["status"] = status
        return OrderOut(**self.repository.save(row))

    def delete_order(self, order_id: int) -> None:
        self.repository.delete(order_id)


def create_order_service() -> OrderService:
    return OrderService(OrderRepository())

from app.services.order_service import OrderService


def test_list_orders_starts_empty():
    assert OrderService().list_orders() == []

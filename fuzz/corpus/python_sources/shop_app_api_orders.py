"""Order endpoints."""
from typing import Annotated

from fastapi import APIRouter, BackgroundTasks, Depends, HTTPException, Security
from pydantic import BaseModel, field_validator

from app.core.security import get_admin_user, get_current_user, oauth2_scheme
from app.models import OrderCreate, OrderOut, User
from app.services.order_service import OrderService, create_order_service

router = APIRouter(prefix="/orders", tags=["orders"])

OrderServiceDep = Annotated[OrderService, Depends(create_order_service)]
AdminUser = Annotated[User, Security(get_admin_user, scopes=["orders:write"])]


class StatusUpdate(BaseModel):
    status: str
    reason: str | None = None

    @field_validator("status", mode="before")
    @classmethod
    def normalise_status(cls, value: str) -> str:
        return value.strip().lower()


def send_receipt(order_id: int) -> None:
    print(f"receipt for {order_id}")


@router.post("/", response_model=OrderOut, status_code=201)
async def create_order(payload: OrderCreate, background: BackgroundTasks,
                       user: User = Depends(get_current_user),
                       service: OrderService = Depends(create_order_service)) -> OrderOut:
    """Place a new order and mail a receipt in the background."""
    order = service.create_order(payload)
    background.add_task(send_receipt, order.id)
    return order


@router.get("/{order_id}", response_model=OrderOut)
async def get_order(order_id: int, user: User = Depends(get_current_user),
                    service: OrderService = Depends(create_order_service)) -> OrderOut:
    order = service.get_order(order_id)
    if order is None:
        raise HTTPException(status_code=404, detail="Order not found")
    return order


@router.get("/", response_model=list[OrderOut])
def list_orders(token: str = Security(oauth2_scheme),
                service: OrderService = Depends(create_order_service)) -> list[OrderOut]:
    return service.list_orders()


@router.delete("/{order_id}", status_code=204)
async def delete_order(order_id: int, admin: User = Depends(get_admin_user),
                       service: OrderService = Depends(create_order_service)) -> None:
    service.delete_order(order_id)


@router.patch("/{order_id}", response_model=OrderOut)
async def update_order_status(order_id: int, update: StatusUpdate, service: OrderServiceDep,
                              admin: AdminUser) -> OrderOut:
    order = service.update_order(order_id, update.status)
    if order is None:
        raise HTTPException(status_code=404, detail="Order not found")
    return order

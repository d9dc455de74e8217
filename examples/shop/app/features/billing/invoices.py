"""Invoices for completed orders."""
from fastapi import APIRouter, Depends

from app.core.security import get_current_user
from app.models import User

router = APIRouter(prefix="/billing")
refunds_router = APIRouter(prefix="/refunds")

VAT_RATE = 0.2


def compute_vat(total_cents: int) -> int:
    return round(total_cents * VAT_RATE)


@router.get("/invoices/{order_id}")
def get_invoice(order_id: int, user: User = Depends(get_current_user)) -> dict:
    return {"order_id": order_id, "vat_cents": compute_vat(1000)}


@refunds_router.post("/{order_id}", response_model=None, status_code=202)
async def request_refund(order_id: int, user: User = Depends(get_current_user)) -> None:
    """Queue a refund of the order's invoice."""


router.include_router(refunds_router, prefix="/invoices")

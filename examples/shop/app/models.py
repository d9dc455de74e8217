"""Request and response models."""
from pydantic import BaseModel, Field, field_validator


class User(BaseModel):
    id: int
    email: str
    is_admin: bool = False


class OrderItem(BaseModel):
    sku: str
    quantity: int = Field(gt=0)


class OrderCreate(BaseModel):
    """Payload of a new order."""
    items: list[OrderItem]
    note: str | None = None

    @field_validator("items")
    @classmethod
    def not_empty(cls, value):
        if not value:
            raise ValueError("an order needs at least one item")
        return value


class OrderOut(BaseModel):
    id: int
    total_cents: int
    status: str

"""Request and response models."""
from pydantic import BaseModel, Field, field_validator, model_validator


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

    @model_validator(mode="after")
    def note_is_short(self):
        if self.note is not None and len(self.note) > 500:
            raise ValueError("the note is longer than 500 characters")
        return self


class OrderOut(BaseModel):
    id: int
    total_cents: int
    status: str

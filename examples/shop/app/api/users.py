"""User endpoints."""
from fastapi import APIRouter

from app.core.security import CurrentUser
from app.models import User

router = APIRouter(prefix="/users", tags=["users"])


@router.get("/me", response_model=User)
async def read_me(user: CurrentUser) -> User:
    """The signed-in user."""
    return user

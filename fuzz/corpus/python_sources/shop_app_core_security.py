"""Authentication dependencies."""
from typing import Annotated

from fastapi import Depends, HTTPException, status
from fastapi.security import OAuth2PasswordBearer

from app.models import User
from app.repositories.user_repository import UserRepository

oauth2_scheme = OAuth2PasswordBearer(tokenUrl="/api/v1/users/token")


def get_repository() -> UserRepository:
    return UserRepository()


async def get_current_user(token: Annotated[str, Depends(oauth2_scheme)],
                           repo: UserRepository = Depends(get_repository)) -> User:
    """Resolve the bearer token to a user or refuse the request."""
    user = repo.find_by_token(token)
    if user is None:
        raise HTTPException(status_code=status.HTTP_401_UNAUTHORIZED, detail="Invalid token")
    return user


async def get_admin_user(user: User = Depends(get_current_user)) -> User:
    if not user.is_admin:
        raise HTTPException(status_code=403, detail="Admins only")
    return user


CurrentUser = Annotated[User, Depends(get_current_user)]

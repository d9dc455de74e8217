"""Data access for users."""
from app.models import User


class UserRepository:
    def __init__(self):
        self._users: dict[str, User] = {}

    def find_by_token(self, token: str) -> User | None:
        return self._users.get(token)

    def get_by_id(self, user_id: int) -> User | None:
        return next((u for u in self._users.values() if u.id == user_id), None)

    def save(self, token: str, user: User) -> None:
        self._users[token] = user

"""Settings read once at start-up."""
import os

DATABASE_URL = os.environ.get("DATABASE_URL", "sqlite:///shop.db")
PAGE_SIZE = 50


class Settings:
    _instance = None

    @classmethod
    def get_instance(cls) -> "Settings":
        if cls._instance is None:
            cls._instance = cls()
        return cls._instance

"""Shop API: the application object and its routers."""
from fastapi import FastAPI

from app.api import orders, users
from app.features.billing import invoices

app = FastAPI(title="Shop")
app.include_router(users.router, prefix="/api/v1")
app.include_router(orders.router, prefix="/api/v1")
app.include_router(invoices.router)


@app.get("/health")
async def health() -> dict:
    """Liveness probe."""
    return {"status": "ok"}


@app.middleware("http")
async def add_server_timing(request, call_next):
    response = await call_next(request)
    response.headers["Server-Timing"] = "app"
    return response


@app.on_event("startup")
async def warm_up() -> None:
    """Touch the settings once so the first request does not pay for it."""

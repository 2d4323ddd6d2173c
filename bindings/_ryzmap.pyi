"""RYZ domain ID registry — C bindings backed by libryx."""

def fnv1a(docroot: str, /) -> int:
    """fnv1a(docroot) -> int
FNV-1a hash of docroot string."""

def lookup(uid: int, docroot: str, /) -> int:
    """lookup(uid, docroot) -> int
O(1) lookup. Returns 0 if not found."""

def assign(uid: int, docroot: str, /) -> int:
    """assign(uid, docroot) -> int
Assign or return existing domain ID."""

def remove(uid: int, docroot: str, /) -> int | None:
    """remove(uid, docroot) -> int or None
Remove mapping, return old ID."""

def remove_all(uid: int, /) -> list[tuple[str, int]]:
    """remove_all(uid) -> list[(str, int)]
Remove all entries for uid."""

def verify_ownership(uid: int, domain_id: int, /) -> bool:
    """verify_ownership(uid, domain_id) -> bool
Check if domain_id belongs to uid."""

def get_all_entries(uid: int, /) -> dict[str, int]:
    """get_all_entries(uid) -> dict[str, int]
All entries for a uid."""

def get_all_domain_ids() -> set[int]:
    """get_all_domain_ids() -> set[int]
All domain IDs across all users."""

def rebuild_index() -> None:
    """rebuild_index() -> None
Force .index rebuild from per-uid files."""

def min_id() -> int:
    """min_id() -> int
Minimum domain RYX ID (UID_MAX from /etc/login.defs, floor 60000)."""

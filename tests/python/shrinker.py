"""A value whose conversion changes the container being encoded."""


class Shrinker:
    """A truth value whose computation empties the list or dict being encoded."""

    def __init__(self, victim):
        self.victim = victim

    def __bool__(self):
        self.victim.clear()
        return True

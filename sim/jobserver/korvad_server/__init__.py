"""korvad-server: the job server for a fleet of korvad devices (a WSGI application, its
built-in server, and the state in SQLite or PostgreSQL). See korvad_server.cli."""
from korvad_jobtool import __version__  # noqa: F401  one version for the server side
from .app import App  # noqa: F401
from .store import Store  # noqa: F401


def application(db_url, users_file=None, **options):
    """A WSGI application for any WSGI server: application("sqlite:///var/lib/k/state.db")."""
    from .auth import Users
    return App(Store(db_url), Users(users_file) if users_file else None, **options)

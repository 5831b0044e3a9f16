"""A Django application behind EmojiMiddleware (one file: settings, views and URLs), served by
gunicorn for test_frameworks, answering as flask_app does."""

import django
from django.conf import settings

settings.configure(
    DEBUG=False,
    ALLOWED_HOSTS=["127.0.0.1"],
    ROOT_URLCONF=__name__,
    SECRET_KEY="test",
    MIDDLEWARE=[],
)
django.setup()

from django.core.wsgi import get_wsgi_application  # noqa: E402  (after the settings)
from django.http import HttpResponse, JsonResponse  # noqa: E402
from django.urls import path  # noqa: E402

from conftest import STYLED_TEXT, TEMPLATE  # noqa: E402
from glyphary.wsgi import EmojiMiddleware  # noqa: E402


def page(request):
    return HttpResponse(TEMPLATE)


def styled(request):
    return HttpResponse(STYLED_TEXT)


def form(request):
    return JsonResponse(
        {
            "carrier": request.environ["glyphary.carrier"],
            "fields": request.POST.dict(),
            "files": {name: f.read().hex() for name, f in request.FILES.items()},
        }
    )


urlpatterns = [path("page", page), path("styled", styled), path("form", form)]

application = EmojiMiddleware(get_wsgi_application())

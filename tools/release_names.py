"""The names a manifest may give releases and channels, as the program reads them; shared
by the release tool and its reading of update reports."""
import re

# A release version: one to four numbers of one to eight digits (the program orders by
# eight digits a number, and the version names a folder, so it must stay short).
VERSION_RULE = re.compile(r"[0-9]{1,8}(\.[0-9]{1,8}){0,3}")
# A channel's name; the default channel has none.
CHANNEL_RULE = re.compile(r"[a-z0-9-]{1,32}")


def version_key(version):
    """A version as the program orders them: number by number, missing ones as 0."""
    numbers = [int(number) for number in version.split(".")]
    return numbers + [0] * (4 - len(numbers))

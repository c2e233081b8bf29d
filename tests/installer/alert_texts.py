"""Prints the texts of the labels that the process with the given pid shows, read through the
accessibility tree, one per line; exits 1 when the process has no accessible window yet."""
import sys

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def labels(node, depth=0, found=None):
    found = [] if found is None else found
    if node is None or depth > 40:
        return found
    try:
        role = node.get_role()
        if role == Atspi.Role.LABEL:
            found.append(node.get_name())
        for i in range(min(node.get_child_count(), 200)):
            labels(node.get_child_at_index(i), depth + 1, found)
    except Exception:  # a node that vanished while being read
        pass
    return found


def main():
    pid = int(sys.argv[1])
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app is None or app.get_process_id() != pid:
                continue
        except Exception:
            continue
        texts = labels(app)
        if texts:
            sys.stdout.write("\n".join(texts) + "\n")
            return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())

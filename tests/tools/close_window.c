/* Asks a top-level X11 window, found by its title, to close the way a window manager's close button
 * does (WM_DELETE_WINDOW). Exits 0 once the request is sent, 1 if no such window exists yet. */
#include <stdio.h>
#include <string.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

static Window findByTitle(Display *display, Window window, const char *title) {
    char *name = NULL;
    if (XFetchName(display, window, &name) && name != NULL) {
        const int match = strcmp(name, title) == 0;
        XFree(name);
        if (match)
            return window;
    }
    Window root, parent, *children = NULL;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && found == 0; ++i)
            found = findByTitle(display, children[i], title);
        if (children != NULL)
            XFree(children);
    }
    return found;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s WINDOW-TITLE\n", argv[0]);
        return 2;
    }
    Display *display = XOpenDisplay(NULL);
    if (display == NULL) {
        fprintf(stderr, "close_window: cannot open the X display\n");
        return 2;
    }
    const Window window = findByTitle(display, DefaultRootWindow(display), argv[1]);
    if (window == 0) {
        XCloseDisplay(display);
        return 1;
    }
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    XCloseDisplay(display);
    return 0;
}

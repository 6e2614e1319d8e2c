#!/usr/bin/env python3
"""The part of mod-ui that serves the pedals, for tests/modgui-faces.sh.

    modgui-server.py PAGE_DIR PORT_FILE REFUSED_FILE

Finds each plugin's modgui through lilv (LV2_PATH) as mod-ui does, and
answers on 127.0.0.1, at a free port written to PORT_FILE:
  /effect/file/PROPERTY?uri=U      the file the modgui names (iconTemplate,
                                   stylesheet, ...),
  /effect/image/NAME.png?uri=U     its screenshot or thumbnail,
  /resources/PATH?uri=U            a file of its resources directory,
each through a static handler rooted at the resources directory, which
refuses (403) a file outside it, as mod-ui's web library does; any other
path is a file of PAGE_DIR. Every answer but a file is written to
REFUSED_FILE, a line each.
"""
import ctypes
import http.server
import mimetypes
import os
import sys
import urllib.parse

MODGUI = b'http://moddevices.com/ns/modgui#'
lilv = ctypes.CDLL('liblilv-0.so.0')
P = ctypes.c_void_p
for name, result, args in [
        ('lilv_world_new', P, []), ('lilv_world_load_all', None, [P]),
        ('lilv_world_get_all_plugins', P, [P]), ('lilv_plugins_begin', P, [P]),
        ('lilv_plugins_next', P, [P, P]), ('lilv_plugins_is_end', ctypes.c_bool, [P, P]),
        ('lilv_plugins_get', P, [P, P]), ('lilv_plugin_get_uri', P, [P]),
        ('lilv_node_as_uri', ctypes.c_char_p, [P]), ('lilv_new_uri', P, [P, ctypes.c_char_p]),
        ('lilv_plugin_get_value', P, [P, P]), ('lilv_nodes_get_first', P, [P]),
        ('lilv_world_get', P, [P, P, P, P]),
        ('lilv_file_uri_parse', ctypes.c_char_p, [ctypes.c_char_p, P])]:
    f = getattr(lilv, name)
    f.restype, f.argtypes = result, args


def modguis():
    """Each plugin's modgui: {uri: {property: path}}."""
    world = lilv.lilv_world_new()
    lilv.lilv_world_load_all(world)
    plugins = lilv.lilv_world_get_all_plugins(world)
    gui_of = lilv.lilv_new_uri(world, MODGUI + b'gui')
    found = {}
    it = lilv.lilv_plugins_begin(plugins)
    while not lilv.lilv_plugins_is_end(plugins, it):
        p = lilv.lilv_plugins_get(plugins, it)
        it = lilv.lilv_plugins_next(plugins, it)
        guis = lilv.lilv_plugin_get_value(p, gui_of)
        gui = guis and lilv.lilv_nodes_get_first(guis)
        if not gui:
            continue
        files = {}
        for prop in ('resourcesDirectory', 'iconTemplate', 'stylesheet', 'screenshot',
                     'thumbnail'):
            node = lilv.lilv_world_get(world, gui, lilv.lilv_new_uri(world, MODGUI + prop.encode()),
                                       None)
            if node:
                files[prop] = lilv.lilv_file_uri_parse(lilv.lilv_node_as_uri(node), None).decode()
        uri = lilv.lilv_node_as_uri(lilv.lilv_plugin_get_uri(p)).decode()
        found[uri] = files
    return found


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        uri = urllib.parse.parse_qs(url.query).get('uri', [''])[0]
        gui = GUIS.get(uri, {})
        parts = url.path.split('/', 3)
        if url.path.startswith('/resources/'):
            self.static(gui.get('resourcesDirectory'), url.path[len('/resources/'):])
        elif parts[1:3] == ['effect', 'file']:
            self.static(gui.get('resourcesDirectory'), gui.get(parts[3]))
        elif parts[1:3] == ['effect', 'image']:
            self.static(gui.get('resourcesDirectory'), gui.get(parts[3].removesuffix('.png')))
        else:
            self.static(PAGE, url.path.lstrip('/'))

    def static(self, root, path):
        """Tornado's StaticFileHandler: the path joined to the root, and
        refused unless it is inside."""
        if not root or not path:
            return self.refuse(404, 'no such modgui file')
        root = os.path.join(os.path.abspath(root), '')
        full = os.path.abspath(os.path.join(root, urllib.parse.unquote(path)))
        if not (full + os.path.sep).startswith(root):
            return self.refuse(403, f'{full} is not in {root}')
        if not os.path.isfile(full):
            return self.refuse(404, f'no {full}')
        with open(full, 'rb') as f:
            body = f.read()
        self.send_response(200)
        self.send_header('Content-Type', mimetypes.guess_type(full)[0] or 'text/plain')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def refuse(self, code, why):
        with open(REFUSED, 'a') as log:
            print(f'{code} {self.path}: {why}', file=log)
        self.send_error(code)

    def log_message(self, *args):
        pass


PAGE, PORT_FILE, REFUSED = sys.argv[1:4]
GUIS = modguis()
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
with open(PORT_FILE + '.new', 'w') as f:
    print(server.server_address[1], file=f)
os.rename(PORT_FILE + '.new', PORT_FILE)
server.serve_forever()

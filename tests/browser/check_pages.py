#!/usr/bin/env python3
"""Looks at the static web files in a real browser (headless Chromium).

A small stand-in server sends every file as text/html, as the program's
server does, and writes a few pages in the markup the program's pages
use (no doctype, the title bar table, a list table with id oTable, an
error page with a close button). Chromium loads them and the script reads
the resulting DOM:

  - a list page: formatTable marks the data rows odd/even, not the header;
  - a page whose list table is missing: formatTable does no harm and the
    rest of the onLoad script still runs;
  - an error page in a frame, whose close button cannot close anything:
    it ends on the login page;
  - the login page shown inside a frame takes the whole window;
  - login.htm and a help page served as text/html: style.css is applied,
    and the login page focuses the employee code field.

Needs: python3 and Debian's chromium (apt-get install chromium
fonts-noto-cjk). Usage: tests/browser/check_pages.py [path/to/web]
Prints one line per check and "N passed, N failed".
"""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "..", "web"))


def page_header(title, onload=None):
    s = ("<LINK href='style.css' type=text/css rel=stylesheet>"
         "<SCRIPT language=javascript src='common.js'></SCRIPT>"
         "<html><head><meta http-equiv=Content-Type content=text/html; charset=utf-8>"
         "<meta http-equiv=Content-Style-Type content=text/css><title>" + title + "</title></head>")
    if onload:
        s += '<body bgcolor=#FFFFFF text=#000000 onLoad="' + onload + '">'
    else:
        s += "<body bgcolor=#FFFFFF text=#000000>"
    s += ("<TABLE height=80 cellSpacing=0 cellPadding=0 width=481 bgColor=white border=0>"
          "<TR><TD vAlign=bottom width='90%'><font size=5 color=#0000FF><b>" + title +
          "</b></font></TD></TR><TR height='5%'><TD style='BORDER-TOP: #bcbcbc 2px solid' "
          "width='80%'>&nbsp;</TD></TABLE>")
    return s


def list_page():
    s = page_header("客戶列表", "formatTable('oTable');document.body.setAttribute('data-after','ran')")
    s += "<CENTER><P><Table id=oTable width=780 border=1><TR><TH>編號<TH>公司名稱<TH>功能</TR>"
    for i in range(4):
        s += "<TR><TD>%d<TD>公司%d<TD><a href='?page=x'>更改</a></TR>" % (10000 + i, i)
    return s + "</TABLE></CENTER></body></html>"


def no_table_page():
    return (page_header("員工列表", "formatTable('oTable');document.body.setAttribute('data-after','ran')")
            + "<CENTER><P>沒有資料</CENTER></body></html>")


def frame_page(src):
    # A two-frame window like the work window.
    return ("<html><head><meta charset=utf-8><title>frames</title></head><frameset cols='200,*'>"
            "<frame name=menu src='about:blank'><frame name=main src='" + src + "'></frameset></html>")


def error_page():
    # The button is clicked from onLoad, as a user would click it.
    return (page_header("錯誤信息", "document.getElementsByTagName('input')[0].click()")
            + "<CENTER>員工或密碼錯誤<p><input type=button class=button value='關閉視窗' "
              "onClick=window.close()></CENTER></body></html>")


PROBE = """<html><head><meta charset=utf-8><title>probe</title></head><body>
<iframe id=f src="%s" width=900 height=700 sandbox="allow-same-origin allow-scripts"></iframe>
<script>
document.getElementById('f').onload = function () {
  setTimeout(function () {
    var d = document.getElementById('f').contentDocument, out = [];
    var el = d.querySelector('%s');
    out.push('compat=' + d.compatMode);
    out.push('style=' + (el ? getComputedStyle(el).getPropertyValue('%s') : 'missing'));
    out.push('active=' + (d.activeElement ? d.activeElement.id : ''));
    out.push('login=' + (d.querySelector('form[name=loginForm]') ? 'yes' : 'no'));
    document.body.setAttribute('data-result', out.join(';'));
  }, 200);
};
</script></body></html>"""

PAGES = {
    "list": list_page,
    "noTable": no_table_page,
    "closeError": error_page,
    "closeProbe": lambda: PROBE % ("?page=closeError", "body", "color"),
    "loginInFrame": lambda: frame_page("?page=login"),
    "loginProbe": lambda: PROBE % ("/", ".login-box", "width"),
    "helpProbe": lambda: PROBE % ("/help/index.htm", ".helpnav", "background-color"),
}


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def reply(self, body):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def page(self, query):
        name = urllib.parse.parse_qs(query, keep_blank_values=True).get("page", [""])[0]
        if name in ("", "login"):
            with open(os.path.join(WEB, "login.htm"), "rb") as f:
                return self.reply(f.read())
        if name in PAGES:
            return self.reply(PAGES[name]())
        self.send_response(404)
        self.end_headers()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.query:
            return self.page(url.query)
        path = os.path.join(WEB, urllib.parse.unquote(url.path).lstrip("/") or "index.html")
        if os.path.isfile(path):
            with open(path, "rb") as f:
                return self.reply(f.read())
        return self.page("page=")


def dump_dom(url):
    profile = tempfile.mkdtemp()
    try:
        out = subprocess.run(
            [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + profile, "--virtual-time-budget=3000", "--dump-dom", url],
            capture_output=True, text=True, timeout=90)
        return out.stdout
    except subprocess.TimeoutExpired:
        return "(chromium timed out)"
    finally:
        shutil.rmtree(profile, ignore_errors=True)


BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")


def main():
    if not BROWSER:
        print("chromium not found: apt-get install chromium fonts-noto-cjk")
        return 2
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = "http://127.0.0.1:%d/" % server.server_address[1]
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(("ok    " if ok else "FAIL  ") + name + ("" if ok else "  " + detail[:300]))

    dom = dump_dom(base + "?page=list")
    check("formatTable marks data rows odd/even", dom.count('class="odd"') == 2 and dom.count('class="even"') == 2, dom)
    check("formatTable leaves the header row alone", "<tr><th>" in dom.lower().replace("\n", ""), dom)

    dom = dump_dom(base + "?page=noTable")
    check("missing table: onLoad goes on", 'data-after="ran"' in dom, dom)

    # A frame cannot be closed (nor can a tab the user opened, but headless
    # Chromium lets script close its own first tab). The probe's frame is
    # sandboxed, so the fallback cannot take over the whole window and
    # shows the login page in the frame itself.
    dom = dump_dom(base + "?page=closeProbe")
    check("close button that cannot close ends on the login page", "login=yes" in dom, dom)

    dom = dump_dom(base + "?page=loginInFrame")
    check("login page shown in a frame takes the whole window", 'name="loginForm"' in dom and "<frameset" not in dom, dom)

    dom = dump_dom(base + "?page=loginProbe")
    check("login page renders in quirks mode", "compat=BackCompat" in dom, dom)
    check("login page gets style.css sent as text/html", "style=360px" in dom, dom)
    check("login page focuses the employee code", "active=loginId" in dom, dom)

    dom = dump_dom(base + "?page=helpProbe")
    check("help page gets ../style.css sent as text/html", "style=rgb(0, 102, 153)" in dom, dom)

    server.shutdown()
    passed = sum(1 for r in results if r)
    print("%d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())

/*
 * 客戶管理系統 (網上版) - script shared by the pages.
 *
 * Plain ES5, no modules: every page loads this file with a <SCRIPT src>
 * before its body, and calls the functions from onLoad.
 */

/*
 * formatTable(id): dresses a list table. The first row holds the column
 * headings; every later row gets the class "odd" or "even" in turn and
 * the class "rowHover" while the mouse is over it (style.css gives the
 * colours). A missing table, or one without data rows, is left alone,
 * so the page's other onLoad work still runs.
 */
function formatTable(id) {
  var table, rows, i;
  if (!document.getElementById) {
    return false;
  }
  table = document.getElementById(id);
  if (!table || !table.rows) {
    return false;
  }
  rows = table.rows;
  for (i = 1; i < rows.length; i++) {
    commonAddClass(rows[i], (i % 2 === 1) ? "odd" : "even");
    rows[i].onmouseover = commonRowOver;
    rows[i].onmouseout = commonRowOut;
  }
  return true;
}

function commonRowOver() {
  commonAddClass(this, "rowHover");
}

function commonRowOut() {
  commonRemoveClass(this, "rowHover");
}

function commonHasClass(element, name) {
  return (" " + element.className + " ").indexOf(" " + name + " ") >= 0;
}

function commonAddClass(element, name) {
  if (!commonHasClass(element, name)) {
    element.className = element.className ? element.className + " " + name : name;
  }
}

function commonRemoveClass(element, name) {
  var parts = element.className.split(" "), kept = [], i;
  for (i = 0; i < parts.length; i++) {
    if (parts[i] !== "" && parts[i] !== name) {
      kept.push(parts[i]);
    }
  }
  element.className = kept.join(" ");
}

/*
 * The close buttons of the error and logout pages call window.close().
 * Browsers refuse to close a window or tab that the user opened, and a
 * frame cannot close at all; the button would then do nothing. So after
 * asking the browser to close, check shortly afterwards and, when the
 * window is still there, show the login page in the whole window
 * instead.
 */
(function () {
  var nativeClose = window.close;
  if (typeof nativeClose !== "function" && typeof nativeClose !== "object") {
    return;
  }
  try {
    window.close = function () {
      try {
        nativeClose.call(window);
      } catch (e) {
        // fall through to the login page below
      }
      window.setTimeout(function () {
        var target = window;
        if (window.closed) {
          return;
        }
        try {
          if (window.top && window.top !== window) {
            target = window.top;
          }
          target.location.href = "?page=login";
        } catch (e2) {
          window.location.href = "?page=login";
        }
      }, 300);
    };
  } catch (e3) {
    // keep the browser's own window.close
  }
})();

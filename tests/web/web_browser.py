"""The owner's view in headless Chromium (run by web_run.sh): the key, every
page, next and previous, a search, a sort, a product, and each CSV file
downloaded and read back to the rows that the console's L and H give; the
product named <script> runs nothing. Exits 77 when no browser can run here.
With WAREHOUSE_SCREENSHOTS set to a folder, leaves a picture of each page
there."""

import csv
import datetime
import math
import io
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

from web_common import (KEY, KEYED_BASE, STORE, WAREHOUSE, as_csv_row, day_totals,
                        history, kinds, listed, spreadsheet_safe)

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("SKIP: python3-selenium is not installed")
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
if not CHROMIUM or not os.path.exists(DRIVER):
    print("SKIP: chromium and chromium-driver are not installed")
    sys.exit(77)

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def start_browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + os.path.join(folder, "profile"),
                     "--window-size=1100,900"]:
        options.add_argument(argument)
    options.add_experimental_option("prefs", {
        "download.default_directory": os.path.join(folder, "downloads"),
        "download.prompt_for_download": False,
    })
    service = Service(executable_path=DRIVER)
    return webdriver.Chrome(options=options, service=service)


def wait_for(browser, condition, what):
    try:
        return WebDriverWait(browser, 20, poll_frequency=0.05).until(lambda _: condition())
    except WebDriverException:
        check(False, "waited in vain for " + what)
        return None


def table(browser, table_id):
    """The text of each cell of each row of a table's body, read in one call
    to the browser."""
    return browser.execute_script(
        "return Array.from(document.querySelectorAll(arguments[0]),"
        " row => Array.from(row.cells, cell => cell.innerText))",
        f"#{table_id} tbody tr")


def as_page_rows(rows):
    return [[product, str(amount), shelf, name] for product, amount, shelf, name in rows]


def open_page(browser, path):
    browser.get(urllib.parse.urljoin(KEYED_BASE, path))


def click(browser, selector):
    """Follows a link, and waits for the page it leads to."""
    old = browser.find_element(By.TAG_NAME, "html")
    browser.find_element(By.CSS_SELECTOR, selector).click()
    wait_for(browser, lambda: old.id != browser.find_element(By.TAG_NAME, "html").id,
             "the page after " + selector)


def no_alert(browser, where):
    try:
        browser.switch_to.alert
        check(False, "an alert on " + where)
    except NoAlertPresentException:
        pass


def download(browser, folder, selector):
    """Clicks a CSV link and gives the rows of the file it saves."""
    downloads = os.path.join(folder, "downloads")
    os.makedirs(downloads, exist_ok=True)
    for name in os.listdir(downloads):
        os.remove(os.path.join(downloads, name))
    browser.find_element(By.CSS_SELECTOR, selector).click()

    def finished():
        # The browser may hold the file's name with an empty file while it
        # writes the one it renames over it; a CSV is never empty.
        names = os.listdir(downloads)
        if any(name.endswith(".crdownload") for name in names):
            return []
        return [name for name in names if not name.startswith(".")
                and os.path.getsize(os.path.join(downloads, name)) > 0]

    done = wait_for(browser, finished, "a download")
    if not done:
        return []
    with open(os.path.join(downloads, done[0]), encoding="utf-8", newline="") as saved:
        return list(csv.reader(io.StringIO(saved.read())))


def screenshot(browser, name):
    folder = os.environ.get("WAREHOUSE_SCREENSHOTS")
    if folder:
        browser.save_screenshot(os.path.join(folder, f"web-{name}.png"))


def lots_and_counts(browser, folder):
    """The expiring lots and the stock-takes, reached from the bar of links,
    after a delivery note with an expired lot and a count that finds one
    missing."""
    today = datetime.date.today()
    days = [(today + datetime.timedelta(days=n)).isoformat() for n in (-2, 6, 30)]
    note = os.path.join(folder, "note.csv")
    with open(note, "w", encoding="utf-8") as out:
        out.write("id,amount,best_before,shelf,name\n"
                  f"EXP:1,4,{days[0]},9-9,<script>alert(2)</script>\n"
                  f"EXP:1,6,{days[1]},9-9,<script>alert(2)</script>\n"
                  f"EXP:2,5,{days[2]},9-8,Late\nEXP:3,8,,9-7,Counted\n")
    sheet = os.path.join(folder, "sheet.csv")
    with open(sheet, "w", encoding="utf-8") as out:
        out.write("id,counted,reason\nEXP:3,7,theft\n")
    for option, path in [("--deliveries", note), ("--count", sheet)]:
        subprocess.run([WAREHOUSE, "--store", STORE, option, path], check=True, timeout=60,
                       capture_output=True)
    click(browser, "nav a[href='/expiring']")
    screenshot(browser, "expiring")
    expected = [["EXP:1", "<script>alert(2)</script>", "9-9", "4", days[0] + " (expired)", ""],
                ["EXP:1", "<script>alert(2)</script>", "9-9", "6", days[1], ""]]
    check(table(browser, "expiring") == expected, f"/expiring: {table(browser, 'expiring')}")
    check(download(browser, folder, "#csv")[1:] ==
          [row[:4] + [row[4].split()[0], "", "yes" if i == 0 else "no"]
           for i, row in enumerate(expected)], "expiring.csv")
    no_alert(browser, "/expiring")
    click(browser, "nav a[href='/counts']")
    screenshot(browser, "counts")
    check([row[2:] for row in table(browser, "differences")] ==
          [["EXP:3", "Counted", "8", "7", "-1", "theft", ""]],
          f"/counts: {table(browser, 'differences')}")
    check([row[2:] for row in download(browser, folder, "#csv")[1:]] ==
          [["EXP:3", "Counted", "8", "7", "-1", "theft", ""]], "counts.csv")
    no_alert(browser, "/counts")


def main(folder):
    stock = listed()
    browser = start_browser(folder)
    try:
        # Without the key nothing; with it a cookie, which the pages' own
        # links then carry.
        browser.get(KEYED_BASE)
        check("needs its key" in browser.page_source, "the view without its key")
        browser.get(KEYED_BASE + "?key=" + KEY)
        check(browser.find_element(By.ID, "kinds").text == str(kinds()), "the kinds on /")
        check(browser.find_element(By.ID, "units").text == str(sum(r[1] for r in stock)),
              "the units on /")
        screenshot(browser, "stock")
        pages = [as_page_rows(stock[i:i + 100]) for i in range(0, len(stock), 100)]
        check(table(browser, "products") == pages[0], "the first page")
        no_alert(browser, "/")
        for step, expected in [("#next", 1), ("#next", 2), ("#previous", 1), ("#previous", 0)]:
            click(browser, step)
            check(table(browser, "products") == pages[expected], f"{step} to page {expected + 1}")
        check(not browser.find_elements(By.ID, "previous"), "a previous link on the first page")
        check(sum(len(page) for page in pages) == len(stock), "the pages hold the stock")

        # A search and a sort, as L text finds and orders.
        search = browser.find_element(By.NAME, "q")
        search.send_keys("uM")
        old = browser.find_element(By.TAG_NAME, "html")
        search.submit()
        wait_for(browser, lambda: old.id != browser.find_element(By.TAG_NAME, "html").id, "a search")
        found = listed("uM")
        check(table(browser, "products") == as_page_rows(found) and 1 < len(found) < 100,
              "the search for uM")
        check(download(browser, folder, "#csv")[1:] == [as_csv_row(r) for r in found],
              "stock.csv?q=uM")
        open_page(browser, "/?q=" + urllib.parse.quote("<script>"))
        check(browser.find_element(By.ID, "matched").text == "1", "a search for <script>")
        no_alert(browser, "a search for <script>")
        open_page(browser, "/")
        click(browser, "#products th:nth-child(2) a")
        by_amount = sorted(stock, key=lambda r: (r[1], r[0].encode()))
        check(table(browser, "products") == as_page_rows(by_amount[:100]), "sorted by amount")
        click(browser, "#next")
        check(table(browser, "products") == as_page_rows(by_amount[100:200]),
              "sorted by amount, the next page")
        check(download(browser, folder, "#csv")[1:] == [as_csv_row(r) for r in stock],
              "stock.csv")

        # A product: its history as H shows it, and its chart.
        open_page(browser, "/")
        click(browser, "#next")
        link = browser.find_element(By.CSS_SELECTOR, "#products tbody tr a")
        product = link.text
        click(browser, "#products tbody tr a")
        check(browser.find_element(By.ID, "id").text == product, "the product's page")
        check(browser.find_elements(By.CSS_SELECTOR, "#chart polyline"), "the chart")
        open_page(browser, "/product/GUM:1")
        screenshot(browser, "product")
        lines = history("GUM:1")
        check([[r[0], r[1], r[2], r[4]] for r in table(browser, "history")]
              == [list(line) for line in lines], "GUM:1's history")
        check([[r[0], r[1], r[2], r[4]] for r in download(browser, folder, "#csv")[1:]]
              == [[t, c, spreadsheet_safe(m), a] for t, c, m, a in lines], "GUM:1.csv")
        open_page(browser, "/product/XSS:1")
        no_alert(browser, "the product named <script>")
        check(browser.find_element(By.ID, "name").text == "<script>alert(1)</script>",
              "the name <script> as text")
        check("alert(1)" in browser.find_element(By.CSS_SELECTOR, "#chart title")
              .get_attribute("textContent"), "the name <script> in the chart's title")

        # The low, and the sold out.
        open_page(browser, "/low?below=10")
        screenshot(browser, "low")
        low = sorted([r for r in stock if r[1] < 10], key=lambda r: (r[1], r[0].encode()))
        check(table(browser, "products") == as_page_rows(low), "the low")
        check(download(browser, folder, "#csv")[1:] == [as_csv_row(r) for r in low], "low.csv")
        sold_out = [row[0] for row in table(browser, "sold-out")]
        check(sorted(sold_out) == ["GONE:1", "LAK:55102330:0512:330"], f"the sold out: {sold_out}")
        check([row[0] for row in download(browser, folder, "#sold-out-csv")[1:]] == sold_out,
              "soldout.csv")
        no_alert(browser, "/low")

        # What to order, with no reorder levels set: the low and the sold
        # out; the two withdrawn to nothing today first, at their rates
        # over 28 days, then the one with days left, then by id.
        open_page(browser, "/reorder")
        screenshot(browser, "reorder")
        ordered = table(browser, "reorder")
        check(sorted(r[0] for r in ordered) == sorted([r[0] for r in low] + sold_out),
              f"to order: {[r[0] for r in ordered]}")
        expected = [[p, name, shelf, "0", "", f"{w / 28:.2f}", "0.0", str(math.ceil(w * 14 / 28))]
                    for p, name, shelf, w in [("GONE:1", "Soon gone", "1.00", 4),
                                              ("LAK:55102330:0512:330", "Salmiakki", "4.10", 45)]]
        check(ordered[:2] == expected, f"the first to order: {ordered[:2]}")
        # GUM:1 has 7 units left of the 115 withdrawn: 1.7 days; nobody
        # withdrew the others.
        check(ordered[2][0] == "GUM:1" and ordered[2][6:] == ["1.7", str(math.ceil(115 * 14 / 28) - 7)],
              f"GUM:1 to order: {ordered[2]}")
        check([r[0] for r in ordered[3:]] == sorted((r[0] for r in low if r[0] != "GUM:1"),
                                                    key=str.encode), "the rest to order, by id")
        check([r[0] for r in download(browser, folder, "#csv")[1:]] == [r[0] for r in ordered],
              "reorder.csv")
        no_alert(browser, "/reorder")

        # Today's report, against the H of every product.
        open_page(browser, "/day")
        screenshot(browser, "day")
        totals = day_totals([r[0] for r in stock] + sold_out)
        names = {r[0]: r[3] for r in stock}
        names.update({"GONE:1": "Soon gone", "LAK:55102330:0512:330": "Salmiakki"})
        expected = sorted(([p, names[p], str(d), str(w), str(n), ""]
                           for p, (d, w, n) in totals.items()), key=lambda r: r[0].encode())
        # The table shows the first page of 100, with the totals below it.
        check(table(browser, "day-products") == expected[:100], "the day's products")
        units = browser.execute_script(
            "return ['units-in', 'units-out'].map(id => document.getElementById(id).innerText)")
        check(units == [str(sum(t[i] for t in totals.values())) for i in range(2)],
              f"the day's units in and out: {units}")
        check(download(browser, folder, "#products-csv")[1:]
              == [as_csv_row(r) for r in expected], "the day's CSV")
        commands = table(browser, "day-commands")
        check(len(commands) == 18 and commands[0][2] == "G 300",
              f"the day's commands: {commands[:2]}")
        check(download(browser, folder, "#commands-csv")[1:] == commands, "the commands' CSV")
        clerks = table(browser, "day-clerks")
        check(len(clerks) == 1 and clerks[0][1] == "18"
              and clerks[0][2] == str(sum(d for d, _, _ in totals.values()))
              and clerks[0][3] == str(sum(w for _, w, _ in totals.values())), f"the clerks: {clerks}")
        check(download(browser, folder, "#clerks-csv")[1:] == clerks, "the clerks' CSV")
        no_alert(browser, "/day")

        # The week up to today: the same clerks and units as today alone.
        open_page(browser, "/days")
        screenshot(browser, "days")
        check(table(browser, "day-clerks") == clerks, "the week's clerks")
        no_alert(browser, "/days")

        lots_and_counts(browser, folder)
    finally:
        browser.quit()


with tempfile.TemporaryDirectory() as scratch:
    main(scratch)
print(f"web_browser: {len(failures)} failed")
sys.exit(1 if failures else 0)

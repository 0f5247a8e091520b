#!/usr/bin/python3
"""The page of disc-catalog serve in a real browser: Debian's chromium,
headless, driven through chromium-driver by python3-selenium.

    web_browser_test.py URL CASE_DIR

CASE_DIR holds what web_e2e_test.cc made: disc1.xml (the manifest of disc
1, to compare with the one downloaded) and hello.txt (a file whose content
disc 2 holds). Exit status: 0 when every check passed, 1 at the first that
failed (said on standard error), 77 when there is no browser to run.
"""
import os
import shutil
import sys
import time

SKIP = 77
try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    print("python3-selenium is not installed", file=sys.stderr)
    sys.exit(SKIP)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


def fail(what):
    print("web_browser_test: " + what, file=sys.stderr)
    sys.exit(1)


def wait_for(what, test, seconds=20):
    """Waits until test() gives a true value, and gives it."""
    end = time.monotonic() + seconds
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > end:
            fail("timed out waiting for " + what)
        time.sleep(0.05)


def rows(driver, table_id):
    return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in driver.find_elements(By.CSS_SELECTOR, "#%s tbody tr" % table_id)]


def shown(driver, element):
    """Whether |element| takes room on the page (a closed folder's files do not)."""
    return driver.execute_script("return arguments[0].checkVisibility()", element)


def status_of(driver, path, method="GET"):
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch(arguments[0], {method: arguments[1]}).then(r => done(r.status), e => done(String(e)));",
        path, method)


def main():
    url, case_dir = sys.argv[1], sys.argv[2]
    for program in (CHROMIUM, DRIVER):
        if not os.access(program, os.X_OK):
            print(program + " is not installed (Debian: chromium, chromium-driver)", file=sys.stderr)
            sys.exit(SKIP)
    downloads = os.path.join(case_dir, "downloads")
    os.makedirs(downloads, exist_ok=True)
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1200,1000"):
        options.add_argument(argument)
    options.binary_location = CHROMIUM
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    try:
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    except WebDriverException as error:
        fail("chromium does not start: %s" % error.msg)
    driver.set_script_timeout(20)
    try:
        check(driver, url, case_dir, downloads)
    finally:
        driver.quit()


def check(driver, url, case_dir, downloads):
    driver.get(url)
    # The first input of the page is the search box; the discs are listed.
    first = driver.find_elements(By.TAG_NAME, "input")[0]
    if first.get_attribute("type") != "search":
        fail("the first input is of type %r" % first.get_attribute("type"))
    discs = wait_for("the list of discs", lambda: len(rows(driver, "discs")) == 3 and rows(driver, "discs"))
    if [row[0] for row in discs] != ["1", "2", "3"]:
        fail("discs listed: %r" % discs)

    # Names and descriptions that hold markup are shown as text, and run
    # nothing: no image is made of them, no script sets the flag.
    markup = "<img src=x onerror=window.pwned=1>"
    if discs[0][3] != "Reports " + markup:
        fail("disc 1's description shows as %r" % discs[0][3])

    # Typed into the search box, with the keyboard: the matching rows.
    first.click()
    first.send_keys("report")
    wait_for("the answer to 'report'",
             lambda: "3 files match" in driver.find_element(By.ID, "search-status").text)
    found = sorted(tuple(row) for row in rows(driver, "search-results"))
    expected = sorted([
        ("Reports\\<script>window.pwned=2</script>REPORT.doc", "1", "Reports " + markup),
        ("copy\\report.doc", "2", "Copies"),
        ("x\\annual-REPORT-1998.pdf", "3", "Third"),
    ])
    if found != expected:
        fail("search rows: %r" % found)
    first.send_keys(Keys.CONTROL, "a")
    first.send_keys("no such name at all")
    wait_for("no match", lambda: "No file matches" in driver.find_element(By.ID, "search-status").text)
    if rows(driver, "search-results"):
        fail("rows left after a search that matches nothing")
    if driver.execute_script("return document.images.length") != 0:
        fail("an image was made of a name")

    # A file picked is hashed in the page and found on disc 2.
    driver.find_element(By.ID, "picker").send_keys(os.path.join(case_dir, "hello.txt"))
    wait_for("the picked file's places", lambda: rows(driver, "pick-results"))
    if rows(driver, "pick-results") != [["2", "greetings\\hello.txt", "Copies"], ["3", "y\\hello-again.txt", "Third"]]:
        fail("places of the picked file: %r" % rows(driver, "pick-results"))
    if "5d41402abc4b2a76b9719d911017c592" not in driver.find_element(By.ID, "pick-status").text:
        fail("the picked file's MD5 is not the one md5sum gives")

    # Given away: disc 2 holds nothing of its own and comes first; a bar
    # a disc in the picture.
    wait_for("the give-away list", lambda: len(rows(driver, "giveaway")) == 3)
    if rows(driver, "giveaway")[0][0] != "2" or rows(driver, "giveaway")[0][1] != "0":
        fail("the give-away list starts with %r" % rows(driver, "giveaway")[0])
    if len(driver.find_elements(By.CSS_SELECTOR, "#picture svg rect.bar-own")) != 3:
        fail("the picture has no bar for each disc")

    # Disc 1's page, reached with the keyboard: its folders open and close.
    link = driver.find_element(By.LINK_TEXT, "Reports " + markup)
    link.send_keys(Keys.ENTER)
    wait_for("disc 1's tree", lambda: driver.find_elements(By.CSS_SELECTOR, "#tree summary"))
    summaries = {s.get_attribute("textContent"): s for s in driver.find_elements(By.CSS_SELECTOR, "#tree summary")}
    if "Reports" not in summaries or "deep" not in summaries:
        fail("folders of disc 1: %r" % list(summaries))
    deep_file = driver.find_element(By.XPATH, "//li[span[@class='name' and text()='inner.txt']]")
    if shown(driver, deep_file):
        fail("a file of a closed folder is shown")
    summaries["Reports"].send_keys(Keys.ENTER)
    summaries["deep"].click()
    wait_for("the deep folder open", lambda: shown(driver, deep_file))
    if "d41d8cd98f00b204e9800998ecf8427e" not in deep_file.text:
        fail("the file in the deep folder shows %r" % deep_file.text)
    script_name = driver.find_element(By.XPATH, "//span[@class='name' and starts-with(text(), '<script>')]")
    if script_name.text != "<script>window.pwned=2</script>REPORT.doc":
        fail("a name with markup shows as %r" % script_name.text)
    summaries["deep"].click()
    wait_for("the deep folder closed", lambda: not shown(driver, deep_file))

    # The manifest downloaded is the one added, byte for byte.
    driver.find_element(By.LINK_TEXT, "disc1.xml").click()
    saved = os.path.join(downloads, "disc1.xml")
    wait_for("the download", lambda: os.path.exists(saved) and not os.path.exists(saved + ".crdownload"))
    with open(saved, "rb") as got, open(os.path.join(case_dir, "disc1.xml"), "rb") as added:
        if got.read() != added.read():
            fail("the manifest downloaded differs from the one added")

    # Nothing outside the program's own files, and nothing changed.
    for path in ("/%2e%2e/%2e%2e/etc/passwd", "/assets/..%2f..%2f..%2fetc%2fpasswd", "/etc/passwd",
                 "/assets/%2E%2E%2Fapp.js"):
        status = status_of(driver, path)
        if status != 404:
            fail("%s answered %r" % (path, status))
    for method in ("POST", "PUT", "DELETE"):
        status = status_of(driver, "/api/discs/1", method)
        if status != 405:
            fail("%s answered %r" % (method, status))
    driver.get(url)
    wait_for("the discs again", lambda: len(rows(driver, "discs")) == 3)

    if driver.execute_script("return window.pwned") is not None:
        fail("markup in a name ran")
    for entry in driver.get_log("browser"):
        if "Content Security Policy" in entry["message"] or "Refused" in entry["message"]:
            fail("the page broke its own policy: " + entry["message"])
    shutil.rmtree(downloads, ignore_errors=True)


if __name__ == "__main__":
    main()

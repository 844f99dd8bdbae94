"""A headless Chromium (Debian's chromium and chromium-driver, by explicit path) driving
the demo page like a script would, and the request bodies it sent."""

import json
import time
from typing import Any

import needs
from service_server import clean_env

TYPED_USER = "alice.example"
TYPED_PASSWORD = "Hunter2-secret"


def make_driver(*extra_args: str) -> Any:
    chromium = needs.program("chromium")
    driver_path = needs.program("chromedriver")
    webdriver = needs.package("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,900", *extra_args):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    return webdriver.Chrome(service=Service(driver_path, env=clean_env({})), options=options)


def request_bodies(driver: Any, urls: list[str] | None = None) -> list[tuple[str, str]]:
    """(url, body) of every request the page sent that carried a body; the URL of every
    request, with or without one, is appended to URLS."""
    bodies = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message.get("method") == "Network.requestWillBeSent":
            request = message["params"]["request"]
            if urls is not None:
                urls.append(request["url"])
            if request.get("hasPostData") or "postData" in request:
                body = request.get("postData")
                if body is None:
                    body = driver.execute_cdp_cmd(
                        "Network.getRequestPostData", {"requestId": message["params"]["requestId"]}
                    )["postData"]
                bodies.append((request["url"], body))
    return bodies


def scripted_login(driver: Any, base: str) -> dict[str, Any]:
    """Loads the demo, types into both fields and submits with plain Selenium actions;
    returns the page's answer."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    driver.get(base + "/demo")
    user = driver.find_element(By.ID, "username")
    password = driver.find_element(By.ID, "password")
    ActionChains(driver).move_to_element(user).click().perform()
    user.send_keys(TYPED_USER)
    ActionChains(driver).move_to_element(password).click().perform()
    password.send_keys(TYPED_PASSWORD)
    ActionChains(driver).move_to_element(driver.find_element(By.ID, "submit")).click().perform()
    end = time.monotonic() + 15
    while time.monotonic() < end and not driver.find_element(By.TAG_NAME, "body").get_attribute("data-verdict"):
        time.sleep(0.05)
    answer = json.loads(driver.find_element(By.ID, "verdict").text)
    answer["features"] = json.loads(driver.find_element(By.ID, "features").text)
    return answer


def captured_envelope(driver: Any) -> str:
    bodies = [body for url, body in request_bodies(driver) if url.endswith("/demo/assess")]
    assert len(bodies) == 1
    return str(bodies[0])

"""The console's event stream after a break: when the server no longer holds the events the
console missed, the console says so, draws the page afresh from the server, and the notice
can be dismissed."""

import socket
import threading
import time
import unittest

from console_fixture import By, ConsoleTestCase, Browser, Server, run_skippable, wait_until


class Relay:
    """A TCP relay between the browser and the server that the test can break: cut() closes
    every relayed connection and holds new ones unanswered (in the listen queue) until
    resume()."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=64)
        self.listener.settimeout(0.05)
        self.port = self.listener.getsockname()[1]
        self.passing = threading.Event()
        self.passing.set()
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.sockets = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping.is_set():
            if not self.passing.is_set():
                time.sleep(0.05)
                continue
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            with self.lock:
                self.sockets += [client, upstream]
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pump(source, sink):
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self):
        self.passing.clear()
        with self.lock:
            for end in self.sockets:
                try:
                    end.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                end.close()
            self.sockets = []

    def resume(self):
        self.passing.set()

    def close(self):
        self.stopping.set()
        self.cut()
        self.thread.join(timeout=5)
        self.listener.close()


class ThroughRelay:
    """What the browser fixture needs of a server, with the relay's address."""

    def __init__(self, server, relay):
        self.url = f"https://127.0.0.1:{relay.port}"
        self.spki_pin = server.spki_pin


class MissedEventsTest(ConsoleTestCase):
    KEPT_EVENTS = 1000  # the server's buffer for clients that resume

    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        cls.relay = Relay(cls.server.port)
        cls.browser = Browser(ThroughRelay(cls.server, cls.relay))

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.relay.close()
        cls.server.stop()

    def stream_state(self):
        return self.browser.driver.find_element(By.ID, "stream").text

    def refusals(self):
        return self.server.api("/status").get("refused_by_reason", {}).get("deny_list", 0)

    def test_missed_events_are_announced_the_page_redrawn_and_the_notice_dismissed(self):
        b = self.browser
        self.log_in()
        b.go("ipfilter")
        b.wait_for(lambda d: self.stream_state() == "live", what="the event stream")
        self.assertFalse(b.by_testid("events-missed")[0].is_displayed())
        # An event the console sees live: it resumes after that one.
        status, body, _ = self.server.change("PUT", "/ipfilter", {"enabled": True, "type": "deny"})
        self.assertEqual(status, 200, body)
        b.wait_for(lambda d: b.by_testid("ipfilter-enabled")[0].is_selected(),
                   what="the filter shown on")

        # The console is cut off; meanwhile a range is added and more events come than the
        # server keeps, so the range's own event is gone when the console comes back.
        self.relay.cut()
        b.wait_for(lambda d: self.stream_state() != "live", what="the stream to notice the break")
        status, body, _ = self.server.change("POST", "/ipfilter/ranges", {"first": "127.0.0.1"})
        self.assertEqual(status, 200, body)
        wanted = self.refusals() + self.KEPT_EVENTS + 100
        for _ in range(self.KEPT_EVENTS + 100):
            with socket.create_connection(("127.0.0.1", self.server.peer_port), timeout=5):
                pass  # each connection refused is one peer-refused event
        wait_until(lambda: self.refusals() >= wanted, what=f"{wanted} refused peers")
        self.assertFalse(any("127.0.0.1" in row.text for row in b.by_testid("ipfilter-row")))

        self.relay.resume()
        b.visible("events-missed")
        b.wait_for(lambda d: self.stream_state() == "live", what="the stream to come back")
        b.wait_for(lambda d: any("127.0.0.1" in row.text for row in b.by_testid("ipfilter-row")),
                   what="the page drawn afresh with the range added meanwhile")
        b.by_testid("events-missed-dismiss")[0].click()
        b.wait_for(lambda d: not b.by_testid("events-missed")[0].is_displayed(),
                   what="the notice to go")


if __name__ == "__main__":
    run_skippable(unittest.main)

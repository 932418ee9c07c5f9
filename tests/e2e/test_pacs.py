"""A study from a private Orthanc on 127.0.0.1 in the real program: found by the PACS window's
search, opened into the series view, measured, its report exported, sent back and then
retrieved with the study."""

import json, os, shutil, subprocess, sys, tempfile, unittest, urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402
import pydicom  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PACS_BTN, LIST_BTN, EXPORT_REPORT = (308, 592), (630, 592), (863, 486)  # centres, in the window


class Pacs(e2e.KelvoTestCase, unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelvo-pacs-")
        self.orthanc = subprocess.Popen([sys.executable, os.path.join(HERE, "../../scripts/orthanc-test-instance")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.ports = dict(next(self.orthanc.stdout).split() for _ in range(4))
        self.rest = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        # Settings (without an organisation name Qt files them under this one) and cache stay here.
        os.makedirs(os.path.join(self.tmp, "config", "Unknown Organization"))
        with open(os.path.join(self.tmp, "config", "Unknown Organization", "kelvo.conf"), "w") as f:
            server = json.dumps({"name": "orthanc", "url": f"http://127.0.0.1:{self.ports['HTTP']}/dicom-web/"})
            f.write('[pacs]\nservers\\size=1\nservers\\1\\server="' + server.replace('"', '\\"') + '"\n')
        env = {"XDG_CONFIG_HOME": os.path.join(self.tmp, "config"), "XDG_CACHE_HOME": os.path.join(self.tmp, "cache")}
        self.k = e2e.Kelvo(e2e.KelvoTestCase.program, self.x, env=self.x.env(env)).start()

    def tearDown(self):
        super().tearDown()
        self.orthanc.stdin.close()
        self.orthanc.wait(30)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def get(self, path, data=None):
        url = f"http://127.0.0.1:{self.ports['HTTP']}{path}"
        return json.loads(self.rest.open(urllib.request.Request(url, data=data), timeout=20).read())

    def click(self, at, then=None):
        self.k.click(self.k.origin[0] + at[0], self.k.origin[1] + at[1])
        dialog = self.k.find_window(then, timeout=20) if then else None
        self.x.xdotool("windowfocus", "--sync", dialog.wid if dialog else self.k.window.wid)
        self.k.settle(0.5)
        return dialog

    def choose_file(self, title, path):
        self.x.xdotool("windowfocus", "--sync", self.k.find_window(title, timeout=20).wid)
        self.k.settle(0.5)
        self.k.key("ctrl+a")
        self.k.type_text(path)
        self.k.key("Return")

    def test_search_open_measure_report_send_back_and_retrieve_again(self):
        sent = os.path.join(self.tmp, "sent")
        os.mkdir(sent)
        e2e.run(["/usr/bin/python3", os.path.join(HERE, "../imaging/study_reference.py"), sent, "6", "64"], timeout=120)
        for name in os.listdir(sent):
            with open(os.path.join(sent, name), "rb") as f:
                self.get("/instances", f.read())
        modalities = lambda: [sorted(self.get(f"/series/{s}")["MainDicomTags"]["Modality"]  # noqa: E731
                                     for s in self.get(f"/studies/{st}")["Series"]) for st in self.get("/studies")]

        self.click(PACS_BTN, "Search a PACS")
        self.k.key("alt+n")
        self.k.type_text("Test^*")
        self.k.key("Return")  # the search button
        self.k.settle(3)
        self.k.key("alt+o")
        self.k.find_window("Series", timeout=60)  # the series browser beside the window
        e2e.wait_until(lambda: self.k.windows("[0-9a-f]{24} - " + e2e.MAIN_TITLE), 60, "the study in the window")
        self.x.xdotool("windowfocus", "--sync", self.k.window.wid)
        self.k.settle(1)
        before = self.k.canvas_shot(64, 64)
        self.k.key("Next")
        self.k.settle(1)
        self.assertTrue(before.diff(self.k.canvas_shot(64, 64)), "the next slice looks like the first")

        self.k.click_control("rectangleBtn")
        self.k.drag(*self.k.at(8, 8), *self.k.at(40, 30))
        self.click(LIST_BTN)
        report = os.path.join(self.tmp, "region.sr.dcm")
        self.click(EXPORT_REPORT)
        self.choose_file("Export report", report)
        e2e.wait_until(lambda: os.path.exists(report), 20, "the report to be written")

        dialog = self.click(PACS_BTN, "Search a PACS")
        self.k.key("alt+d")
        self.choose_file("Send to the PACS", report)
        e2e.wait_until(lambda: modalities() == [["CT", "SR"]], 60, "the report in the study")
        self.x.xdotool("windowfocus", "--sync", dialog.wid)
        self.k.key("alt+s")
        self.k.settle(3)
        self.k.key("alt+o")
        opened, sop = os.path.join(self.tmp, "cache/kelvo/instances/opened"), pydicom.dcmread(report).SOPInstanceUID
        e2e.wait_until(lambda: any(os.path.islink(os.path.join(opened, d, sop + ".dcm")) for d in os.listdir(opened)),
                       60, "the report retrieved with the study")


if __name__ == "__main__":
    e2e.main(sys.argv)

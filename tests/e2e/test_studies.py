"""A folder of DICOM files in the real program: a series generated here, its positions
shuffled against file names and instance numbers, is opened from the command line,
stepped through in space order (each slice shows a block at a place given by its rank);
shapes drawn on two slices show each on its own slice only, are saved, and come back
when the same study is opened through a DICOMDIR made by DCMTK's dcmmkdir."""

import json, os, subprocess, sys, tempfile, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kelvo_e2e as e2e  # noqa: E402

# Large enough that a region's label fits under it: labels are kept inside the picture.
SLICES, SIDE, BLOCK = 6, 256, 16
WRITE = r"""
import random, sys
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, CTImageStorage, generate_uid
out, count, side, block = sys.argv[1], *map(int, sys.argv[2:])
series, names = generate_uid(), ["IM%06d" % i for i in range(count)]
random.Random(3).shuffle(names)
for rank, name in enumerate(names):
    ds, meta = Dataset(), FileMetaDataset()
    meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID = CTImageStorage, generate_uid()
    meta.TransferSyntaxUID, ds.file_meta, ds.is_little_endian, ds.is_implicit_VR = ExplicitVRLittleEndian, meta, True, False
    ds.SOPClassUID, ds.SOPInstanceUID, ds.Modality = CTImageStorage, meta.MediaStorageSOPInstanceUID, "CT"
    ds.PatientName, ds.PatientID, ds.StudyInstanceUID, ds.StudyID = "E2E^Stack", "E1", "1.2.3.4", "1"
    ds.StudyDate, ds.StudyTime, ds.SeriesInstanceUID, ds.SeriesNumber = "20240102", "120000", series, 1
    ds.InstanceNumber, ds.ImageOrientationPatient = (rank * 5) % count + 1, [1, 0, 0, 0, 1, 0]
    ds.ImagePositionPatient, ds.Rows, ds.Columns = [0, 0, 3.0 * rank], side, side
    ds.SamplesPerPixel, ds.PhotometricInterpretation, ds.WindowCenter, ds.WindowWidth = 1, "MONOCHROME2", 500, 1000
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
    row = [1000 if rank * block <= x < (rank + 1) * block else 0 for x in range(side)]
    ds.PixelData = b"".join(v.to_bytes(2, "little") for v in row) * block + bytes(2 * side * (side - block))
    ds.save_as(out + "/" + name, write_like_original=False)
"""
A, B = ((8, 40), (40, 70)), ((70, 80), (110, 115))


class Studies(e2e.KelvoTestCase, unittest.TestCase):
    def open(self, path, answer_load=False):
        offset = (self.k.canvas[0] - self.k.origin[0], self.k.canvas[1] - self.k.origin[1])
        self.k.stop()
        self.k = e2e.OnCanvas(e2e.KelvoTestCase.program, self.x, args=[path], canvas_offset=offset)
        self.k.start(title=f"{os.path.basename(self.dir)} - {e2e.MAIN_TITLE}", timeout=60)
        if answer_load:
            box = self.k.find_window("Annotations", timeout=60)
            self.x.xdotool("windowfocus", "--sync", box.wid)
            self.k.key("Return")
            e2e.wait_until(lambda: not self.k.windows("Annotations"), 15, "the question to close")
            self.x.xdotool("windowfocus", "--sync", self.k.window.wid)

    def expect(self, rank, shown, hidden):
        """The slice of that rank is on screen (its block lit), with the shapes shown."""
        def share(shot, a, b):  # of a rectangle's outline drawn in yellow
            return sum(shot.pixel(*p) == e2e.YELLOW for p in e2e.rect_edges(*a, *b)) / len(e2e.rect_edges(*a, *b))

        def right(shot):
            lit = [max(shot.pixel(r * BLOCK + BLOCK // 2, BLOCK // 2)) > 200 for r in range(SLICES)]
            return lit == [r == rank for r in range(SLICES)] and all(share(shot, *s) > 0.8 for s in shown) \
                and all(share(shot, *s) < 0.2 for s in hidden)
        self.assertTrue(right(self.k.canvas_shot_when(right, SIDE, SIDE)), f"slice {rank}, {shown} shown, {hidden} not")

    def test_a_stack_keeps_its_order_and_each_shape_its_slice(self):
        with tempfile.TemporaryDirectory() as root:
            self.dir = os.path.join(root, "STUDY")
            os.mkdir(self.dir)
            e2e.run(["/usr/bin/python3", "-c", WRITE, self.dir, str(SLICES), str(SIDE), str(BLOCK)], timeout=120)
            self.open(self.dir)
            self.expect(0, [], [A, B])
            for rank in range(1, SLICES):
                self.k.key("Next")
                self.expect(rank, [], [A, B])
            # Home and End belong to a text box that has the keyboard: the picture takes it.
            self.k.canvas_click((120, 120))
            self.k.key("Home")
            self.expect(0, [], [A, B])
            self.k.click_control("rectangleBtn")
            self.k.canvas_drag(*A)
            self.k.key("Next", "Next")
            self.k.canvas_drag(*B)
            self.expect(2, [B], [A])
            self.k.key("Prior", "Prior")
            self.expect(0, [A], [B])
            self.k.key("ctrl+s")
            saved = self.dir + ".kelvo.json"
            e2e.wait_until(lambda: os.path.exists(saved), 20, "the annotations to be saved")
            uids = [s.get("sop_instance_uid") for s in json.load(open(saved))["shapes"]]
            self.assertEqual(len(set(uids)), 2, uids)

            subprocess.run(["dcmmkdir", "-I"] + sorted(os.listdir(self.dir)), cwd=self.dir, check=True, timeout=60)
            self.open(os.path.join(self.dir, "DICOMDIR"), answer_load=True)
            self.expect(0, [A], [B])
            self.k.canvas_click((120, 120))
            self.k.key("End")
            self.expect(SLICES - 1, [], [A, B])
            self.k.key("Prior", "Prior", "Prior")
            self.expect(2, [B], [A])


if __name__ == "__main__":
    e2e.main(sys.argv)

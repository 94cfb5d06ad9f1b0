"""Every kind of value and event through the framework's sample control:
colours, doubles, strings, outputs, a member that throws, a request answered
by reference, and ticks fired on the control's own thread."""

import gc
import os
import random
import sys
import threading
import time

import pytest

import ocx
from conftest import PATIENCE, module_path

SAMPLE = "SAMPLE.SampleCtrl.1"


@pytest.fixture
def sample(registry):
    path = module_path("OCX_SAMPLE_MODULE", "sample_control")
    if not os.path.exists(path):
        pytest.skip("the sample control module is built with the tests only")
    ocx.RegisterModule(path)
    return ocx.DispatchWithEvents(SAMPLE, Listener)


class Listener:
    def __init__(self):
        self.ticks = []
        self.tick_threads = set()
        self.errors = []
        self.answer = None

    def OnTick(self, index):
        self.ticks.append(index)
        self.tick_threads.add(threading.get_ident())

    def OnRequest(self, refuse):
        if self.answer == "ref":
            refuse.value = True
        elif self.answer == "return":
            return True

    def OnError(self, number, description, scode, source, help_file, help_context, cancel_display):
        self.errors.append(description.value)
        cancel_display.value = True


def test_values_of_every_type_go_both_ways(sample):
    sample.BackColor = 0x00FF8040
    assert sample.BackColor == 0x00FF8040
    sample.Level = 2.5
    sample.Enabled = 1
    assert sample.Enabled is True
    assert sample.Echo("grüße ♫") == "grüße ♫"
    assert sample.Scale(3, 0.5) == 1.5
    assert sample.Add(2**31 - 1, 1) == -(2**31)
    assert sample.GetInfo() == (True, 2.5, 42, True)
    for colour in (-1, 2**32):
        with pytest.raises(ocx.ControlError) as raised:
            sample.BackColor = colour
        assert raised.value.code == 0x8002000A
    assert sample.BackColor == 0x00FF8040


def test_a_member_that_throws_raises_control_error(sample):
    with pytest.raises(ocx.ControlError) as raised:
        sample.Fail()
    assert raised.value.code == 0x80020009 and raised.value.member == "Fail"


@pytest.mark.parametrize("answer, granted", [(None, True), ("ref", False), ("return", False)])
def test_a_request_is_answered_by_reference_or_by_return_value(sample, answer, granted):
    sample.answer = answer
    assert sample.AskPermission() is granted


def test_an_error_event_carries_its_description(sample):
    sample.RaiseError("the tape is out")
    assert sample.errors == ["the tape is out"]


def test_events_fired_on_the_controls_thread_wait_in_order_for_the_script_to_pump(sample):
    assert sample.Ping(41) == 42
    assert sample.StartTicks(2000)
    time.sleep(0.3)  # not pumping: the ticks wait, none lost
    assert ocx.PumpMessagesUntil(lambda: len(sample.ticks) == 2000, PATIENCE)
    assert sample.ticks == list(range(2000))
    assert sample.tick_threads == {threading.get_ident()}


def test_controls_made_and_released_at_random_on_three_threads_leave_no_thread_behind(sample, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda info: None)

    class Flaky(Listener):
        def OnTick(self, index):
            super().OnTick(index)
            if index % 97 == 0:
                raise ValueError(index)

    def churn(seed):
        rng = random.Random(seed)
        kept = []
        for _ in range(40):
            control = ocx.DispatchWithEvents(SAMPLE, Flaky)
            control.StartTicks(rng.randint(0, 2000))
            ocx.PumpMessages(rng.random() * 0.005)
            if rng.random() < 0.3:
                kept.append(control)
            if len(kept) > 4:
                kept.pop(rng.randrange(len(kept)))
            del control
        return kept

    del sample
    gc.collect()
    before = len(os.listdir("/proc/self/task"))
    left = []
    workers = [threading.Thread(target=lambda s=s: left.extend(churn(s))) for s in range(2)]
    for worker in workers:
        worker.start()
    kept_here = churn(7)
    for worker in workers:
        worker.join(PATIENCE)
    for control in left:
        with pytest.raises(ocx.ControlError):
            control.GetHandle()  # released with the thread that made it
    del kept_here, left
    gc.collect()
    deadline = time.monotonic() + PATIENCE
    while len(os.listdir("/proc/self/task")) > before and time.monotonic() < deadline:
        ocx.PumpMessages(0.02)
    assert len(os.listdir("/proc/self/task")) == before

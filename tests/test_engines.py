"""The serializers for Celery (through kombu) and Dask (distributed), run
with the real libraries; skipped where they are not installed."""

import dataclasses
import sys
from typing import Optional

import pytest

import zelkor


@zelkor.register
@dataclasses.dataclass(eq=False)  # eq=False: comparing a cycle field by field never ends
class Link:
    name: str
    next: Optional["Link"] = None
    items: list = dataclasses.field(default_factory=list)


def _ring():
    """Two links that point at each other; the first holds a list that holds itself."""
    a = Link("a")
    a.next = Link("b", a)
    a.items.append(a.items)
    return a


def _check_ring(a, cls=Link):
    assert type(a) is cls and type(a.next) is cls
    assert (a.name, a.next.name) == ("a", "b")
    assert a.next.next is a and a.items[0] is a.items


def _relink(a):
    """A task: checks what arrived, and answers with new cycles around it."""
    _check_ring(a, type(a))
    out = type(a)("out", a.next, [a])
    out.items.append(out.items)
    return out


def _check_answer(out):
    assert type(out) is Link and out.name == "out"
    _check_ring(out.items[0])
    assert out.next is out.items[0].next and out.items[1] is out.items


def test_celery_task_through_kombu_entry_point():
    pytest.importorskip("celery")
    import zelkor.kombu
    from kombu import serialization
    from celery import Celery
    from celery.contrib.testing.worker import start_worker

    # Registered by the entry point on kombu's import, with no call of ours.
    assert serialization.registry.name_to_type["zelkor"] == "application/x-zelkor"
    app = Celery("zelkor_test", broker="memory://", backend="cache+memory://")
    app.conf.update(task_serializer="zelkor", result_serializer="zelkor", accept_content=["zelkor"],
                    result_accept_content=["zelkor"],
                    broker_transport_options={"polling_interval": 0.01})
    relink = app.task(name="relink")(_relink)
    with start_worker(app, perform_ping_check=False, loglevel="WARNING"):
        _check_answer(relink.delay(_ring()).get(timeout=30, interval=0.01))
        # With an allowlist that leaves Link out, the worker refuses the task.
        zelkor.kombu.register(allowlist=set())
        try:
            content_type, encoding, body = serialization.dumps(_ring(), "zelkor")
            assert (content_type, encoding) == ("application/x-zelkor", "binary")
            with pytest.raises(serialization.DecodeError, match="Type 'Link' is not in the allowlist"):
                serialization.loads(body, content_type, encoding, accept={content_type})
        finally:
            zelkor.kombu.register()


def test_dask_local_cluster_computes_on_cycles_and_dataclasses():
    pytest.importorskip("distributed")
    import cloudpickle
    import zelkor.dask  # noqa: F401  (registers the family here)
    from distributed import Client, LocalCluster

    # The workers are new processes: send them this module's functions by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    only = ["zelkor"]  # nothing else may carry the data, so it went through zelkor
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                          preload=["zelkor.dask"], serializers=only, deserializers=only) as cluster, \
                Client(cluster, serializers=only, deserializers=only) as client:
            # hash=False: Dask's tokenizer would recurse into the cycle.
            ring = client.scatter(_ring(), hash=False)
            _check_answer(client.submit(_relink, ring, pure=False).result(timeout=60))
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])

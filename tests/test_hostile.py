"""What a store, a data folder or a name can hold that must not reach further: planted code, paths out of the
store, a linked lock file."""

import hashlib
import json
import os
import pickle

import pytest

from algo import cli, fleet, modelfile, synthetic
from algo.fleet import engines
from algo.store import Store, StoreError


def frame(start, minutes, seed):
    return synthetic.machine_frame(start, periods=60 * minutes, seed=seed, raw_labels=True)


@pytest.fixture(scope="module")
def fleet_store(tmp_path_factory):
    """Two machines trained, and a batch for each."""
    root = tmp_path_factory.mktemp("hostile")
    for folder in ("history", "batch"):
        (root / folder).mkdir()
    for seed, name in enumerate(["a", "b"]):
        frame("2024-05-01", 60, seed).to_parquet(root / "history" / f"{name}.parquet", index=False)
        frame("2024-05-02", 30, seed + 10).to_parquet(root / "batch" / f"{name}.parquet", index=False)
    fleet.train(str(root / "history"), root / "store", workers=0)
    return root


def copied(fleet_store, tmp_path):
    import shutil

    shutil.copytree(fleet_store / "store", tmp_path / "store")
    return tmp_path / "store"


def model_file_of(store, machine):
    with Store.open(store) as opened:
        return store / opened.machines().set_index("machine").loc[machine, "model_file"]


class Planted:
    """A pickle that, once loaded, leaves a file behind."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __reduce__(self):
        return open, (self.marker, "w")


def plant(path, marker):
    """A format-2 model file whose pickle would run code, with a checksum that matches it."""
    payload = pickle.dumps({"algo_config": Planted(marker)})
    header = {"format": 2, "library": "0.1.0", "bytes": len(payload), "sha256": hashlib.sha256(payload).hexdigest()}
    path.write_bytes(modelfile.MAGIC + json.dumps(header).encode() + b"\n" + payload)


@pytest.mark.parametrize("where", ["command", "in-process", "worker"])
def test_a_planted_model_runs_nothing(fleet_store, tmp_path, capsys, where):
    store = copied(fleet_store, tmp_path)
    marker = tmp_path / "planted-code-ran"
    plant(model_file_of(store, "a"), marker)
    if where == "command":
        code = cli.main(["score", str(fleet_store / "batch" / "a.parquet"), "--model", str(model_file_of(store, "a"))])
        err = capsys.readouterr().err
        assert code == 1 and "pickled model file of format 2" in err and "--trust-pickle" in err
    else:
        from distributed import Client, LocalCluster

        if where == "worker":
            with LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None, silence_logs=50) as cluster, \
                    Client(cluster) as client:
                outcomes = fleet.score(str(fleet_store / "batch"), store, where=engines.Cluster(client))
        else:
            outcomes = fleet.score(str(fleet_store / "batch"), store, workers=0)
        outcomes = outcomes.set_index("machine")
        assert outcomes.loc["a", "outcome"] == "failed" and "pickled model file" in outcomes.loc["a", "message"]
        assert outcomes.loc["b", "outcome"] == "ok"
    assert not marker.exists()


@pytest.mark.parametrize("name", ["../outside.model", "{root}/outside.model", "models/../../outside.model"])
def test_a_model_path_outside_the_store_is_refused(fleet_store, tmp_path, name):
    store = copied(fleet_store, tmp_path)
    outside = tmp_path / "outside.model"
    outside.write_bytes(model_file_of(store, "a").read_bytes())  # a good model: only where it is is wrong
    with Store.open(store, "w") as opened:
        opened._db.execute("UPDATE machines SET model_file = ? WHERE machine = 'a'", [name.format(root=tmp_path)])
    outcomes = fleet.rul(store, workers=0).set_index("machine")
    assert outcomes.loc["a", "outcome"] == "failed"
    assert "not a file of the store's models folder" in outcomes.loc["a", "message"]
    with Store.open(store) as opened, pytest.raises(StoreError, match="not a file of the store's models"):
        opened.model("a")


def test_a_linked_lock_file_is_refused_and_its_target_kept(fleet_store, tmp_path):
    store = copied(fleet_store, tmp_path)
    target = tmp_path / "precious.txt"
    target.write_text("precious")
    (store / "lock").unlink()
    os.symlink(target, store / "lock")
    for mode in ("w", "r"):
        with pytest.raises(StoreError, match="is a symbolic link"):
            Store.open(store, mode)
    assert target.read_text() == "precious"


def test_a_store_of_pickled_models_is_refused_until_upgraded(fleet_store, tmp_path):
    store = copied(fleet_store, tmp_path)
    for name in ("a", "b"):
        path = model_file_of(store, name)
        model = modelfile.read(path)
        payload = pickle.dumps(model.model)  # as earlier releases wrote it
        header = {"format": 2, "library": "0.1.0", "bytes": len(payload),
                  "sha256": hashlib.sha256(payload).hexdigest(), "settings": model.settings}
        path.write_bytes(modelfile.MAGIC + json.dumps(header).encode() + b"\n" + payload)
    refused = fleet.score(str(fleet_store / "batch"), store, workers=0)
    assert set(refused["outcome"]) == {"failed"}
    assert refused["message"].str.endswith("convert the store's model files with algo.fleet.upgrade").all()
    assert fleet.upgrade(store).models_converted == 2
    assert set(fleet.score(str(fleet_store / "batch"), store, workers=0)["outcome"]) == {"ok"}

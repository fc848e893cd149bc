"""Integrates a list of TIFF frames on a Dask cluster, one batch1d per chunk of files.

    python3 examples/distributed_batch.py                    # synthetic frames, local cluster
    python3 examples/distributed_batch.py --scheduler tcp://head:8786 geometry.poni /data/run7/*.tif

Without a scheduler address a LocalCluster of worker processes is started.
An Integrator belongs to the thread that built it and is never sent between
processes: each task integrates its chunk with an Integrator built from the
PONI file on the worker thread that runs it, so the PONI file and the frames
must be readable at the same paths on every worker. Results come back as
plain data (filename, radial, intensity, error) in input order.
"""
import argparse
import json
import os
import pathlib
import sys
import tempfile

import numpy as np
import tifffile

HERE = pathlib.Path(__file__).resolve().parent


def integrate_chunk(poni, paths, n_points, options, num_workers, num_threads):
    """One task: batch1d over `paths` with this worker thread's Integrator."""
    import threading

    import karvelum

    # Kept per thread, so later chunks on this thread reuse the geometry and
    # tables the first one built. A changed PONI file gives a new key.
    cache = threading.current_thread().__dict__.setdefault("karvelum_integrators", {})
    key = (poni, os.stat(poni).st_mtime_ns, tuple(sorted(options.items())))
    if key not in cache:
        cache[key] = karvelum.Integrator(poni, **options)
    items = cache[key].batch1d(paths, n_points, num_workers=num_workers, num_threads=num_threads)
    return [dict(filename=item.filename, error=item.error,
                 radial=item.result.radial if item.result else None,
                 intensity=item.result.intensity if item.result else None) for item in items]


def integrate_on_cluster(client, poni, paths, n_points, chunk=16, num_workers=None, num_threads=None, **options):
    """Every path's pattern as a dict, in the order of `paths`."""
    chunks = [list(paths[i:i + chunk]) for i in range(0, len(paths), chunk)]
    futures = [client.submit(integrate_chunk, poni, part, n_points, options, num_workers, num_threads, pure=False)
               for part in chunks]
    return [item for part in client.gather(futures) for item in part]


def write_frames(directory, count=12, shape=(256, 256)):
    """Noisy rings of random brightness, and one file that is not an image."""
    rng = np.random.default_rng(7)
    rows, cols = np.indices(shape)
    r = np.hypot(rows - 0.3 * shape[0], cols - 0.6 * shape[1])
    base = 5.0 + sum(200.0 * np.exp(-0.5 * ((r - c) / 2.0) ** 2) for c in (40, 90, 150))
    paths = []
    for i in range(count):
        path = os.path.join(directory, f"frame_{i:04d}.tif")
        tifffile.imwrite(path, rng.poisson(base * rng.uniform(0.5, 2.0)).astype(np.float32))
        paths.append(path)
    broken = os.path.join(directory, "frame_broken.tif")
    pathlib.Path(broken).write_text("not a TIFF file")
    return paths[:count // 2] + [broken] + paths[count // 2:]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("poni", nargs="?", help="PONI file (default: synthetic frames on examples/detector.poni)")
    parser.add_argument("files", nargs="*", help="TIFF frames")
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://head:8786")
    parser.add_argument("--processes", type=int, default=2, help="worker processes of the local cluster")
    parser.add_argument("--chunk", type=int, default=16, help="files per task")
    parser.add_argument("--points", type=int, default=1000, help="radial bins")
    parser.add_argument("--num-workers", type=int, help="batch1d worker threads per task")
    parser.add_argument("--num-threads", type=int, help="pool size of each batch1d worker")
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory() as tmp:
        poni, files = args.poni, args.files
        if poni is None:
            poni, files = str(HERE / "detector.poni"), write_frames(tmp)
        if args.scheduler:
            client, cluster = Client(args.scheduler), None
        else:
            cluster = LocalCluster(n_workers=args.processes, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
            client = Client(cluster)
        try:
            results = integrate_on_cluster(client, os.path.abspath(poni), [os.path.abspath(f) for f in files],
                                           args.points, args.chunk, args.num_workers, args.num_threads,
                                           unit="2th_deg")
        finally:
            client.close()
            if cluster is not None:
                cluster.close()

    failed = [item for item in results if item["error"] is not None]
    print(f"{len(results) - len(failed)} of {len(results)} frames integrated "
          f"in chunks of {args.chunk} on {'the scheduler ' + args.scheduler if args.scheduler else 'a local cluster'}")
    for item in failed:
        print(f"  failed: {item['filename']}: {item['error']}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())

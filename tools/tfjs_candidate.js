// SPDX-License-Identifier: MIT
// Runs a face detector graph that carries its own post-processing (faceboxes)
// in TensorFlow.js on the frames mivora_cnn_bench --dump wrote, and scores it
// as mivora_cnn_bench scores the others: found when a box is centred within
// half a face width of the face's centre; on face-free frames, any box.
//
//   NODE_PATH=.../node_modules node tfjs_candidate.js MODEL.json DUMP_DIR [SCORE]
'use strict';
const fs = require('fs');
const path = require('path');
const tf = require('@tensorflow/tfjs');

async function main() {
  const [modelPath, dir, scoreText] = process.argv.slice(2);
  const minScore = Number(scoreText || 0.5);
  await tf.setBackend('cpu');
  const artifacts = JSON.parse(fs.readFileSync(modelPath, 'utf8'));
  const specs = [];
  const buffers = [];
  for (const group of artifacts.weightsManifest) {
    specs.push(...group.weights);
    for (const file of group.paths) buffers.push(fs.readFileSync(path.join(path.dirname(modelPath), file)));
  }
  const weights = Buffer.concat(buffers);
  const model = await tf.loadGraphModel({
    load: async () => ({
      modelTopology: artifacts.modelTopology, format: artifacts.format, signature: artifacts.signature,
      weightSpecs: specs,
      weightData: weights.buffer.slice(weights.byteOffset, weights.byteOffset + weights.byteLength),
    }),
  });
  const rows = new Map();
  const times = [];
  for (const line of fs.readFileSync(path.join(dir, 'frames.txt'), 'utf8').trim().split('\n')) {
    const [file, label, kind, x, y, width] = line.split('\t');
    const bytes = fs.readFileSync(path.join(dir, file));
    const start = process.hrtime.bigint();
    const input = tf.tensor(new Int32Array(bytes), [1, 480, 640, 3], 'int32');
    const out = await model.executeAsync(input, ['boxes', 'scores', 'num_boxes']);
    const boxes = out[0].dataSync(), scores = out[1].dataSync(), count = out[2].dataSync()[0];
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
    let hit = false;
    for (let i = 0; i < count; ++i) {
      if (scores[i] < minScore) continue;
      // Boxes are ymin, xmin, ymax, xmax, as fractions of the frame.
      const cx = (boxes[4 * i + 1] + boxes[4 * i + 3]) / 2 * 640, cy = (boxes[4 * i] + boxes[4 * i + 2]) / 2 * 480;
      if (kind === 'free' || Math.hypot(cx - x, cy - y) <= width / 2) hit = true;
    }
    tf.dispose([input, ...out]);
    const row = rows.get(label) || { frames: 0, hits: 0, kind };
    row.frames += 1;
    row.hits += hit ? 1 : 0;
    rows.set(label, row);
  }
  console.log(`${path.basename(modelPath, '.json')}@${minScore} in tfjs ${tf.version.tfjs} (${tf.getBackend()})`);
  for (const [label, r] of rows) {
    const cell = r.kind === 'free' ? `${r.hits} with a face` : `${r.hits} (${Math.round(100 * r.hits / r.frames)}%)`;
    console.log(`${label.padEnd(34)} ${String(r.frames).padStart(7)} ${cell.padStart(24)}`);
  }
  times.sort((a, b) => a - b);
  console.log(`ms per 640x480 frame (tfjs cpu backend, not native): p50 ${times[Math.floor(times.length / 2)].toFixed(1)}`);
}

main().catch((error) => {
  console.error(`tfjs_candidate: ${error.stack || error}`);
  process.exit(1);
});

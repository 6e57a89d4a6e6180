// SPDX-License-Identifier: MIT
// Runs a TensorFlow.js graph model with @tensorflow/tfjs on its CPU backend
// (the reference for our own inference) on float inputs from files:
//
//   node tfjs_reference.js MODEL.json DIR OUTPUT_NAME...
//
// For each DIR/input_K.f32 (the input tensor, row-major NHWC floats) writes
// DIR/input_K.OUTPUT_NAME.f32, the named output's values in row-major order.
'use strict';
const fs = require('fs');
const path = require('path');
const tf = require('@tensorflow/tfjs');

async function main() {
  const [modelPath, dir, ...names] = process.argv.slice(2);
  if (!modelPath || !dir || names.length === 0) {
    console.error('usage: node tfjs_reference.js MODEL.json DIR OUTPUT_NAME...');
    process.exit(2);
  }
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
      modelTopology: artifacts.modelTopology,
      format: artifacts.format,
      generatedBy: artifacts.generatedBy,
      convertedBy: artifacts.convertedBy,
      signature: artifacts.signature,
      userDefinedMetadata: artifacts.userDefinedMetadata,
      weightSpecs: specs,
      weightData: weights.buffer.slice(weights.byteOffset, weights.byteOffset + weights.byteLength),
    }),
  });
  const shape = model.inputs[0].shape.map((d) => (d === -1 || d === null ? 1 : d));
  const inputs = fs.readdirSync(dir).filter((f) => /^input_\d+\.f32$/.test(f)).sort();
  if (inputs.length === 0) throw new Error(`no inputs in ${dir}`);
  for (const file of inputs) {
    const bytes = fs.readFileSync(path.join(dir, file));
    const values = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
    const input = tf.tensor(values, shape, 'float32');
    let outputs = model.execute(input, names);
    if (!Array.isArray(outputs)) outputs = [outputs];
    for (let i = 0; i < names.length; ++i) {
      const data = outputs[i].dataSync();
      fs.writeFileSync(path.join(dir, `${file.replace(/\.f32$/, '')}.${names[i]}.f32`),
                       Buffer.from(data.buffer, data.byteOffset, data.byteLength));
    }
    tf.dispose([input, ...outputs]);
  }
  console.log(`${path.basename(modelPath)}: ${inputs.length} inputs through tfjs ${tf.version.tfjs} (${tf.getBackend()})`);
}

main().catch((error) => {
  console.error(`tfjs_reference: ${error.stack || error}`);
  process.exit(1);
});
